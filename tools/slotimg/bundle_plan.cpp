// slotimg plan: the installer's walk and decisions over a bundle held in
// memory, with what a switch holds, described as text or JSON.
#include "slotimg/bundle_plan.hpp"

#include <cinttypes>

#include "slotimg/image_file.hpp"

namespace {

std::optional<bool> same_as_installed(const SwitchState& sw, const std::uint8_t* header,
                                      std::uint32_t type, int slot) {
    if (type == IMAGE_TYPE_APPLICATION) {
        if (slot != 1 && slot != 2) return std::nullopt;  // the operator's answer decides
        const std::optional<HeaderBytes>& installed = sw.slot_header[slot - 1];
        return installed && same_installed_header(installed->data(), header);
    }
    const InstallRule* rule = install_rule_of(type);
    if (rule == nullptr) return std::nullopt;
    const HeaderBytes& installed = sw.flash_header[static_cast<int>(rule->partition)];
    return same_installed_header(installed.data(), header);
}

// The facts the installer would have in hand, from the file and the switch.
SubImageFacts facts_of(std::span<const std::uint8_t> file, const PlanRow& row,
                       const PlanOptions& o) {
    SubImageFacts f;
    f.extent = row.extent;
    f.stored_crc = row.header.crc;
    f.len_field = row.header.len;
    if (row.extent.status == ExtentStatus::ok) {
        const std::uint8_t* start = file.data() + row.offset;
        f.computed_crc = image_crc32(
            start + 4, static_cast<std::size_t>(row.extent.total_length) - 4, IMAGE_CRC_INIT);
    }
    f.slot = o.slot;
    f.skip_same_version = o.skip_same_version;
    f.partition_size = [&row] { return row.partition_size; };
    f.same_as_installed = [&row] { return row.same_as_installed.value_or(false); };
    return f;
}

void note_switch(PlanRow* row, const std::uint8_t* header, const PlanOptions& o) {
    if (o.installed == nullptr) return;
    const InstallRule* rule = install_rule_of(row->extent.type);
    if (rule == nullptr) return;
    if (rule->target != InstallTarget::application) {
        row->partition_size = o.installed->partition_size[static_cast<int>(rule->partition)];
    }
    row->same_as_installed = same_as_installed(*o.installed, header, row->extent.type, o.slot);
}

std::string reason_text(const std::string& reason) {
    std::string s = reason;
    while (!s.empty() && s.back() == '\n') s.pop_back();
    for (std::size_t at = s.find('\n'); at != std::string::npos; at = s.find('\n', at)) {
        s.replace(at, 1, " | ");
    }
    return "\"" + s + "\"";
}

std::string target_text(const PlanRow& row, int slot) {
    const InstallRule* rule = install_rule_of(row.extent.type);
    if (rule == nullptr)
        return row.decision.decision == Decision::end_walk ? "-" : "none: unknown type";
    if (rule->target != InstallTarget::application) return install_target_text(rule->target);
    if (slot == 1 || slot == 2) return printf_string("application slot %d", slot);
    return row.asks_slot ? "application slot question" : "application slot as answered";
}

std::string size_text(const PlanRow& row) {
    const InstallRule* rule = install_rule_of(row.extent.type);
    if (rule == nullptr || row.extent.status != ExtentStatus::ok) return "-";
    const std::uint32_t measured = measured_length(*rule, row.header.len, row.extent);
    if (rule->size_message == nullptr) return printf_string("%" PRIu32 "/-", measured);
    return printf_string("%" PRIu32 "/%" PRIu32, measured, rule->limit);
}

std::string decision_column(const PlanRow& row) {
    if (!row.reached) return "not reached";
    const SubImageDecision& d = row.decision;
    switch (d.decision) {
    case Decision::install:
        return row.same_as_installed.value_or(false) ? "install (same version as installed)"
                                                     : "install";
    case Decision::end_walk: return "end of walk (no sub-image in the last bytes)";
    case Decision::skip_unknown: return decision_text(d.decision);
    case Decision::skip_same_version:
    case Decision::refuse:
        return std::string(decision_text(d.decision)) + ": " + reason_text(d.reason);
    }
    return "?";
}

std::string row_name(const PlanRow& row, std::size_t index) {
    return printf_string("sub-image #%zu (%s)", index, type_text(row.extent.type).c_str());
}

// After an application whose slot the operator is asked for: Enter boots it
// at once, and what follows is not installed.
std::size_t rows_after_direct_boot(const BundlePlan& plan) {
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        if (!row.asks_slot || !row.reached || row.decision.decision != Decision::install) continue;
        std::size_t after = 0;
        for (std::size_t j = i + 1; j < plan.rows.size(); ++j) {
            after += plan.rows[j].reached && plan.rows[j].decision.rule != nullptr ? 1 : 0;
        }
        return after;
    }
    return 0;
}

// The rows the installer writes, in walk order.
std::vector<std::size_t> installed_rows(const BundlePlan& plan) {
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        if (plan.rows[i].reached && plan.rows[i].decision.decision == Decision::install)
            rows.push_back(i);
    }
    return rows;
}

std::string outcome_text(const BundlePlan& plan) {
    std::string list;
    for (const std::size_t i : installed_rows(plan)) {
        list += printf_string("%s#%zu %s", list.empty() ? "" : ", ", i,
                              type_text(plan.rows[i].extent.type).c_str());
    }
    std::string s = "installs: " + (list.empty() ? std::string("nothing") : list) + "\n";
    if (plan.stops_at) return s + printf_string("walk: stops at #%zu, refused\n", *plan.stops_at);
    s += printf_string("walk: reaches the end; the switch prints \"%s\"", WALK_DONE_LINE);
    if (plan.result == 0) s += printf_string(", then \"%s\"", NOTHING_INSTALLED_LINE);
    return s + "\n";
}

void append_optional(std::string* s, const char* key, const std::optional<std::uint32_t>& v) {
    *s += printf_string(", \"%s\": ", key);
    *s += v ? printf_string("%" PRIu32, *v) : "null";
}

std::string row_json(const PlanRow& row, std::size_t index, int slot) {
    const InstallRule* rule = install_rule_of(row.extent.type);
    const char* type_name = image_type_name(row.extent.type);
    std::string s =
        printf_string("{\"index\": %zu, \"offset\": %" PRIu64 ", \"type\": ", index, row.offset);
    if (type_name) {
        append_json_string(&s, type_name);
    } else {
        s += "null";
    }
    s += printf_string(", \"type_code\": %" PRIu32
                       ", \"version\": \"%s\", \"total_length\": %" PRIu64 ", \"target\": ",
                       row.extent.type, format_version(row.header.id).c_str(),
                       row.extent.total_length);
    append_json_string(&s, target_text(row, slot));
    s += ", \"label\": ";
    if (rule) {
        append_json_string(&s, rule->label);
    } else {
        s += "null";
    }
    const bool sized = rule && row.extent.status == ExtentStatus::ok;
    append_optional(&s, "measured",
                    sized ? std::optional(measured_length(*rule, row.header.len, row.extent))
                          : std::nullopt);
    append_optional(&s, "limit",
                    rule && rule->size_message ? std::optional(rule->limit) : std::nullopt);
    append_optional(&s, "partition_size", row.partition_size);
    s += ", \"crc\": ";
    s += row.reached && row.decision.crc != CrcVerdict::unchecked
             ? printf_string("\"%s\"", crc_verdict_text(row.decision.crc))
             : "null";
    s += ", \"same_as_installed\": ";
    s += row.same_as_installed ? (*row.same_as_installed ? "true" : "false") : "null";
    s += ", \"decision\": ";
    s += row.reached ? printf_string("\"%s\"", decision_text(row.decision.decision))
                     : "\"not reached\"";
    s += ", \"reason\": ";
    if (row.reached && !row.decision.reason.empty()) {
        append_json_string(&s, row.decision.reason);
    } else {
        s += "null";
    }
    return s + "}";
}

}  // namespace

BundlePlan plan_bundle(std::span<const std::uint8_t> file, const PlanOptions& o) {
    BundlePlan plan;
    plan.file_size = file.size();
    plan.slot = o.slot;
    bool asked = false;
    bool installed = false;
    walk_sub_images(file,
                    [&](std::uint64_t at, const std::uint8_t* first, const SubImageExtent& extent) {
                        PlanRow row;
                        row.offset = at;
                        row.extent = extent;
                        row.header = decode_image_header(first);
                        row.reached = !plan.stops_at.has_value();
                        note_switch(&row, first, o);
                        if (extent.type == IMAGE_TYPE_APPLICATION && o.slot == 0 && !asked) {
                            row.asks_slot = asked = true;
                        }
                        if (row.reached) {
                            row.decision = decide_sub_image(facts_of(file, row, o));
                            if (row.decision.decision == Decision::install) installed = true;
                            if (row.decision.decision == Decision::refuse)
                                plan.stops_at = plan.rows.size();
                        } else {
                            row.decision.rule = install_rule_of(extent.type);
                        }
                        plan.rows.push_back(row);
                        return true;  // past a refusal the rest is listed, not decided
                    });
    plan.result = installed && !plan.stops_at ? 1 : 0;
    return plan;
}

std::vector<std::string> plan_problems(const BundlePlan& plan) {
    std::vector<std::string> problems;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        if (!row.reached) continue;
        if (row.decision.decision == Decision::refuse) {
            problems.push_back(
                row_name(row, i) + " is refused: " + reason_text(row.decision.reason) +
                printf_string(", and the %zu sub-image%s after it %s not reached",
                              plan.rows.size() - i - 1, plan.rows.size() - i - 1 == 1 ? "" : "s",
                              plan.rows.size() - i - 1 == 1 ? "is" : "are"));
        } else if (row.decision.decision == Decision::skip_unknown) {
            problems.push_back(row_name(row, i) + " is skipped: unknown type");
        }
    }
    if (!plan.stops_at && plan.result == 0) {
        problems.push_back(
            printf_string("nothing would be installed (\"%s\")", NOTHING_INSTALLED_LINE));
    }
    return problems;
}

bool installs_whole(const BundlePlan& plan) { return plan_problems(plan).empty(); }

std::string format_plan_text(const BundlePlan& plan, std::string_view name) {
    std::string s = printf_string("%.*s: %zu sub-image%s in %" PRIu64 " bytes\n",
                                  static_cast<int>(name.size()), name.data(), plan.rows.size(),
                                  plan.rows.size() == 1 ? "" : "s", plan.file_size);
    const int slot = plan.slot;
    if (!plan.rows.empty()) {
        s += printf_string("%-3s %-10s %-12s %-15s %-28s %-16s %-9s %s\n", "#", "offset", "type",
                           "version", "target", "size/limit", "crc", "decision");
    }
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        const char* crc = row.reached ? crc_verdict_text(row.decision.crc) : "-";
        s += printf_string("%-3zu %-10" PRIu64 " %-12s %-15s %-28s %-16s %-9s %s\n", i, row.offset,
                           type_text(row.extent.type).c_str(),
                           format_version(row.header.id).c_str(), target_text(row, slot).c_str(),
                           size_text(row).c_str(), crc, decision_column(row).c_str());
    }
    s += outcome_text(plan);
    const std::vector<std::string> problems = plan_problems(plan);
    if (problems.empty()) {
        s += "result: installs whole\n";
    } else {
        for (const std::string& p : problems) s += "result: " + p + "\n";
    }
    if (const std::size_t after = rows_after_direct_boot(plan)) {
        s +=
            printf_string("note: Enter at the slot question boots the application at once; the %zu "
                          "sub-image%s after it would not be installed\n",
                          after, after == 1 ? "" : "s");
    }
    return s;
}

std::string format_plan_json(const BundlePlan& plan, std::string_view name,
                             std::string_view switch_dir) {
    std::string s = "{\"file\": ";
    append_json_string(&s, name);
    s += printf_string(", \"size\": %" PRIu64 ", \"switch\": ", plan.file_size);
    if (switch_dir.empty()) {
        s += "null";
    } else {
        append_json_string(&s, switch_dir);
    }
    s += ", \"subimages\": [";
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        s += i == 0 ? "\n  " : ",\n  ";
        s += row_json(plan.rows[i], i, plan.slot);
    }
    s += plan.rows.empty() ? "]" : "\n]";
    s += ", \"installs\": [";
    for (const std::size_t i : installed_rows(plan))
        s += printf_string("%s%zu", s.back() == '[' ? "" : ", ", i);
    s += printf_string("], \"result\": %d, \"stops_at\": ", plan.result);
    s += plan.stops_at ? printf_string("%zu", *plan.stops_at) : "null";
    s += ", \"problems\": [";
    const std::vector<std::string> problems = plan_problems(plan);
    for (std::size_t i = 0; i < problems.size(); ++i) {
        if (i != 0) s += ", ";
        append_json_string(&s, problems[i]);
    }
    s += printf_string("], \"whole\": %s}\n", problems.empty() ? "true" : "false");
    return s;
}
