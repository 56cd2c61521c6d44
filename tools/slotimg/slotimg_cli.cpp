// The slotimg command line: parses subcommands and options, reads and writes
// the files, and hands the image work to image_file.
#include "slotimg/slotimg_cli.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/install_plan.hpp"
#include "platform/unique_fd.hpp"
#include "slotboot_version.hpp"
#include "slotimg/bundle_plan.hpp"
#include "slotimg/image_file.hpp"

namespace {

std::string errno_text() { return std::strerror(errno); }

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>* out, std::string* error) {
    const UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f.valid()) {
        *error = "cannot open '" + path + "': " + errno_text();
        return false;
    }
    struct stat st {};
    if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "'" + path + "' is not a regular file";
        return false;
    }
    out->assign(static_cast<std::size_t>(st.st_size), 0);
    if (!read_all_at(f.get(), out->data(), out->size(), 0)) {
        *error = "cannot read '" + path + "': " + errno_text();
        return false;
    }
    return true;
}

// Writes `pieces` one after another to a temporary file beside `path` and
// renames it into place, so a failed run never leaves half a file and an
// output may replace one of its own inputs.
bool write_file_replacing(const std::string& path,
                          const std::vector<std::span<const std::uint8_t>>& pieces,
                          std::string* error) {
    std::string temp = path + ".XXXXXX";
    UniqueFd f(::mkstemp(temp.data()));
    if (!f.valid()) {
        *error = "cannot create '" + path + "': " + errno_text();
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(f.get(), 0666 & ~mask) == 0;
    for (const auto& piece : pieces) ok = ok && write_all(f.get(), piece.data(), piece.size());
    if (ok) ok = f.close();
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        *error = "cannot write '" + path + "': " + errno_text();
        ::unlink(temp.c_str());
    }
    return ok;
}

// Reads up to `out.size()` bytes at `offset` of `path`; the rest stays zero.
// False when the file cannot be opened.
bool read_prefix(const std::string& path, std::uint64_t offset, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    const UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f.valid()) return false;
    const ssize_t n = ::pread(f.get(), out.data(), out.size(), static_cast<off_t>(offset));
    (void)n;  // a short or failed read leaves zeros, as the switch's lookup does
    return true;
}

// What a switch-sim directory holds: its flash partition files DIR/flash/NAME.bin
// (named as the switch's devices /dev/mtd-NAME) and its slot files.
bool read_switch_state(const std::string& dir, SwitchState* sw, std::string* error) {
    const std::size_t prefix = std::strlen(FLASH_DEVICE_PREFIX);
    std::string files[FLASH_PARTITION_COUNT];
    for (int p = 0; p < FLASH_PARTITION_COUNT; ++p) {
        files[p] = dir + "/flash/" + (FLASH_DEVICE_PATHS[p] + prefix) + ".bin";
        struct stat st {};
        if (::stat(files[p].c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "'" + dir + "' is not a switch-sim directory: no " + files[p];
            return false;
        }
        sw->partition_size[p] = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), 0xFFFFFFFFu));
    }
    for (const InstallRule& rule : install_rules()) {
        if (rule.target == InstallTarget::application) continue;
        const int p = static_cast<int>(rule.partition);
        read_prefix(files[p], rule.installed_header_offset, sw->flash_header[p]);
    }
    for (int slot = 1; slot <= 2; ++slot) {
        HeaderBytes header{};
        const std::string path = dir + "/root/user/images/image" + std::to_string(slot);
        if (read_prefix(path, 0, header)) sw->slot_header[slot - 1] = header;
    }
    return true;
}

struct OptionDef {
    std::string_view name;
    bool takes_value;
};

struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    bool help = false;

    const std::string* value(std::string_view name) const {
        const std::string* found = nullptr;
        for (const auto& [n, v] : options) {
            if (n == name) found = &v;  // the last one given wins
        }
        return found;
    }
    bool has(std::string_view name) const { return value(name) != nullptr; }
};

// Splits argv[first..argc) into options (--name VALUE, --name=VALUE, flags)
// and positional arguments; "--" ends the options.
bool parse_args(int argc, const char* const* argv, int first, std::span<const OptionDef> defs,
                Args* args, std::string* error) {
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            args->positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            args->help = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        const OptionDef* def = nullptr;
        for (const auto& s : defs) {
            if (s.name == name) def = &s;
        }
        if (!def) {
            *error = "unknown option '" + std::string(name) + "'";
            return false;
        }
        std::string value;
        if (def->takes_value) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                *error = "option '" + std::string(name) + "' needs a value";
                return false;
            }
        } else if (eq != std::string_view::npos) {
            *error = "option '" + std::string(name) + "' takes no value";
            return false;
        }
        args->options.emplace_back(std::string(name), value);
    }
    return true;
}

constexpr const char* kMainHelp =
    "usage: slotimg COMMAND [OPTIONS]\n"
    "\n"
    "Creates, bundles, inspects, verifies and extracts slotboot images.\n"
    "\n"
    "commands:\n"
    "  create   make a sub-image from a payload\n"
    "  bundle   put sub-images back to back into one image file\n"
    "  info     list every sub-image of a file\n"
    "  verify   check that every sub-image of a file is sound\n"
    "  plan     show what the switch's installer would do with a bundle\n"
    "  extract  write one sub-image, or its payload, to a file\n"
    "\n"
    "'slotimg COMMAND --help' describes a command; 'slotimg --version' prints the version.\n";

constexpr const char* kCreateHelp =
    "usage: slotimg create --type TYPE --version A.B.C.D [--layout 1|2|3]\n"
    "                      [--header-length N] [--embed-header] PAYLOAD -o OUT\n"
    "\n"
    "Makes a sub-image: a header followed by the bytes of PAYLOAD. len and crc\n"
    "are computed.\n"
    "\n"
    "  --type TYPE         application, bootloader, kernel, rootfs, devicetree,\n"
    "                      diagnostics, or a code in decimal or 0x-hex below 2^31\n"
    "  --version A.B.C.D   the version, each part 0-255\n"
    "  --layout 1|2|3      header layout (default 1):\n"
    "                        1  16-byte header\n"
    "                        2  bit 31 of magic set, header length at bytes 18-19\n"
    "                        3  \"HDR3\" at bytes 16-19, header length at bytes 22-23\n"
    "  --header-length N   header length for layouts 2 and 3, 24-65535\n"
    "                      (default 24); bytes 24 to N-1 are zero\n"
    "  --embed-header      bootloader only: write a copy of the 16-byte header\n"
    "                      over payload bytes 240-255 (the payload needs at least\n"
    "                      256 bytes); the copy holds len, magic and id of the\n"
    "                      header and a crc word of 0, which the installed-version\n"
    "                      lookup ignores\n"
    "  -o OUT              the file to write\n";

constexpr const char* kBundleHelp =
    "usage: slotimg bundle [--strict] -o OUT IMAGE...\n"
    "\n"
    "Writes the sub-images of every IMAGE back to back into OUT, in the order\n"
    "given. Every IMAGE must be sound (see 'slotimg verify') and hold no\n"
    "trailing bytes; an IMAGE may itself be a bundle. When the switch would\n"
    "not install OUT whole (see 'slotimg plan'), says why on stderr.\n"
    "\n"
    "  --strict   then write nothing and exit 1\n";

constexpr const char* kPlanHelp =
    "usage: slotimg plan BUNDLE [--switch DIR] [--json] [--slot 1|2]\n"
    "                    [--skip-same-version]\n"
    "\n"
    "Walks BUNDLE as the switch's installer does and shows, with the\n"
    "installer's own decisions, what it would do: for each sub-image its\n"
    "offset, type, version, target, size against the target's limit, the\n"
    "checksum's verdict and the decision (install; skip as same version;\n"
    "skip unknown type; refuse and stop, with the text the console prints).\n"
    "Sub-images after a refusal are listed as not reached. Then the outcome.\n"
    "Exits 0 when the switch would install the whole bundle, 1 when it would\n"
    "refuse or skip any part of it, 2 on a usage or read error.\n"
    "\n"
    "  --switch DIR          a switch-sim directory: its flash sizes bound what\n"
    "                        is written, and its installed headers say which\n"
    "                        sub-images are the same version as installed\n"
    "  --json                the same as one JSON object\n"
    "  --slot 1|2            the slot the installer is given (default: it asks\n"
    "                        the operator, as Rescue Mode does)\n"
    "  --skip-same-version   the installer skips what is already installed\n"
    "                        (Rescue Mode does not)\n";

constexpr const char* kInfoHelp =
    "usage: slotimg info FILE [--json]\n"
    "\n"
    "Walks FILE and lists every sub-image: index, offset, type, version,\n"
    "layout, header length H, payload length P, total length T, stored and\n"
    "computed crc, and whether it is sound. Bytes at the end that hold no\n"
    "sub-image are reported. For a bootloader, tells whether its payload\n"
    "carries a matching copy of the header at byte 240.\n"
    "\n"
    "  --json   the same as one JSON object\n";

constexpr const char* kVerifyHelp =
    "usage: slotimg verify FILE\n"
    "\n"
    "Exits 0 when FILE holds at least one sub-image, every sub-image is sound,\n"
    "and no trailing bytes follow the last one. Otherwise prints one line per\n"
    "problem and exits 1.\n";

constexpr const char* kExtractHelp =
    "usage: slotimg extract FILE --index N [--payload] [--force] -o OUT\n"
    "\n"
    "Writes sub-image N (counted from 0, as 'slotimg info' shows) to OUT.\n"
    "\n"
    "  --index N   which sub-image\n"
    "  --payload   write only its payload, without the header\n"
    "  --force     write it even when its crc does not match\n"
    "  -o OUT      the file to write\n";

// Reports an error as one line on `err`; returns the exit status to use.
int fail(std::FILE* err, std::string_view command, const std::string& message, int status = 1) {
    std::fprintf(err, "slotimg %.*s: %s\n", static_cast<int>(command.size()), command.data(),
                 message.c_str());
    return status;
}

int usage_error(std::FILE* err, std::string_view command, const std::string& message) {
    return fail(err, command, message + " (see 'slotimg " + std::string(command) + " --help')", 2);
}

int help(std::FILE* out, const char* text) {
    std::fputs(text, out);
    return 0;
}

int cmd_create(const Args& a, std::FILE* out, std::FILE* err) {
    const std::string_view cmd = "create";
    if (a.help) return help(out, kCreateHelp);
    if (a.positional.size() != 1) return usage_error(err, cmd, "expected exactly one PAYLOAD file");
    const std::string* type = a.value("--type");
    const std::string* version = a.value("--version");
    const std::string* output = a.value("-o");
    if (!type) return usage_error(err, cmd, "--type is required");
    if (!version) return usage_error(err, cmd, "--version is required");
    if (!output) return usage_error(err, cmd, "-o OUT is required");

    CreateRequest r;
    if (!parse_type(*type, &r.type))
        return usage_error(
            err, cmd, "unknown type '" + *type + "': expected a type name or a code below 2^31");
    if (!parse_version(*version, &r.version))
        return usage_error(err, cmd,
                           "bad version '" + *version + "': expected A.B.C.D, each 0-255");
    if (const std::string* layout = a.value("--layout")) {
        if (*layout != "1" && *layout != "2" && *layout != "3")
            return usage_error(err, cmd, "bad layout '" + *layout + "': expected 1, 2 or 3");
        r.layout = static_cast<std::uint8_t>((*layout)[0] - '0');
    }
    if (const std::string* hl = a.value("--header-length")) {
        std::uint64_t n = 0;
        // build_subimage says which lengths a layout takes.
        if (!parse_number(*hl, 0xFFFFFFFFu, &n) || n == 0)
            return usage_error(err, cmd, "bad header length '" + *hl + "'");
        r.header_length = static_cast<std::uint32_t>(n);
    }
    r.embed_header = a.has("--embed-header");

    std::vector<std::uint8_t> payload;
    std::string error;
    if (!read_whole_file(a.positional[0], &payload, &error)) return fail(err, cmd, error);
    std::vector<std::uint8_t> image;
    error = build_subimage(r, payload, &image);
    if (!error.empty()) return fail(err, cmd, error);
    if (!write_file_replacing(*output, {image}, &error)) return fail(err, cmd, error);

    const ImageWalk walk = walk_image_file(image);
    const WalkEntry& e = walk.entries.at(0);
    std::fprintf(out,
                 "%s: %s %s, layout %u, H %" PRIu32 ", P %" PRIu32 ", T %" PRIu64
                 ", crc 0x%08" PRIX32 "\n",
                 output->c_str(), type->c_str(), format_version(e.header.id).c_str(),
                 unsigned{e.extent.layout}, e.extent.header_length, e.extent.payload_length,
                 e.extent.total_length, e.header.crc);
    return 0;
}

int cmd_bundle(const Args& a, std::FILE* out, std::FILE* err) {
    const std::string_view cmd = "bundle";
    if (a.help) return help(out, kBundleHelp);
    const std::string* output = a.value("-o");
    if (!output) return usage_error(err, cmd, "-o OUT is required");
    if (a.positional.empty()) return usage_error(err, cmd, "expected at least one IMAGE");

    std::vector<std::vector<std::uint8_t>> images(a.positional.size());
    std::vector<std::span<const std::uint8_t>> pieces;
    std::size_t count = 0;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < a.positional.size(); ++i) {
        std::string error;
        if (!read_whole_file(a.positional[i], &images[i], &error)) return fail(err, cmd, error);
        const ImageWalk walk = walk_image_file(images[i]);
        const std::vector<std::string> problems = walk_problems(walk);
        if (!problems.empty()) return fail(err, cmd, a.positional[i] + ": " + problems.front());
        pieces.emplace_back(images[i]);
        count += walk.entries.size();
        total += images[i].size();
    }
    std::vector<std::uint8_t> whole;
    for (const auto& image : images) whole.insert(whole.end(), image.begin(), image.end());
    const std::vector<std::string> problems = plan_problems(plan_bundle(whole, PlanOptions{}));
    const bool strict = a.has("--strict");
    for (const std::string& p : problems) {
        std::fprintf(err, "slotimg bundle: %s%s would not install whole: %s\n",
                     strict ? "" : "warning: ", output->c_str(), p.c_str());
    }
    if (strict && !problems.empty()) return 1;
    std::string error;
    if (!write_file_replacing(*output, pieces, &error)) return fail(err, cmd, error);
    std::fprintf(out, "%s: %zu sub-image%s, %" PRIu64 " bytes\n", output->c_str(), count,
                 count == 1 ? "" : "s", total);
    return 0;
}

int cmd_info(const Args& a, std::FILE* out, std::FILE* err) {
    const std::string_view cmd = "info";
    if (a.help) return help(out, kInfoHelp);
    if (a.positional.size() != 1) return usage_error(err, cmd, "expected exactly one FILE");
    std::vector<std::uint8_t> file;
    std::string error;
    if (!read_whole_file(a.positional[0], &file, &error)) return fail(err, cmd, error);
    const ImageWalk walk = walk_image_file(file);
    const std::string text = a.has("--json") ? format_info_json(walk, a.positional[0])
                                             : format_info_text(walk, a.positional[0]);
    std::fputs(text.c_str(), out);
    return 0;
}

int cmd_verify(const Args& a, std::FILE* out, std::FILE* err) {
    const std::string_view cmd = "verify";
    if (a.help) return help(out, kVerifyHelp);
    if (a.positional.size() != 1) return usage_error(err, cmd, "expected exactly one FILE");
    const std::string& name = a.positional[0];
    std::vector<std::uint8_t> file;
    std::string error;
    if (!read_whole_file(name, &file, &error)) return fail(err, cmd, error);
    const ImageWalk walk = walk_image_file(file);
    const std::vector<std::string> problems = walk_problems(walk);
    for (const std::string& p : problems) std::fprintf(out, "%s: %s\n", name.c_str(), p.c_str());
    if (!problems.empty()) return 1;
    std::fprintf(out, "%s: %zu sub-image%s, all sound\n", name.c_str(), walk.entries.size(),
                 walk.entries.size() == 1 ? "" : "s");
    return 0;
}

int cmd_plan(const Args& a, std::FILE* out, std::FILE* err) {
    const std::string_view cmd = "plan";
    if (a.help) return help(out, kPlanHelp);
    if (a.positional.size() != 1) return usage_error(err, cmd, "expected exactly one BUNDLE");
    PlanOptions options;
    if (const std::string* slot = a.value("--slot")) {
        if (*slot != "1" && *slot != "2")
            return usage_error(err, cmd, "bad slot '" + *slot + "': expected 1 or 2");
        options.slot = (*slot)[0] - '0';
    }
    options.skip_same_version = a.has("--skip-same-version");
    std::string error;
    SwitchState installed;
    const std::string* switch_dir = a.value("--switch");
    if (switch_dir) {
        if (!read_switch_state(*switch_dir, &installed, &error)) return fail(err, cmd, error, 2);
        options.installed = &installed;
    }
    const std::string& name = a.positional[0];
    std::vector<std::uint8_t> file;
    if (!read_whole_file(name, &file, &error)) return fail(err, cmd, error, 2);
    const BundlePlan plan = plan_bundle(file, options);
    const std::string text = a.has("--json")
                                 ? format_plan_json(plan, name, switch_dir ? *switch_dir : "")
                                 : format_plan_text(plan, name);
    std::fputs(text.c_str(), out);
    return installs_whole(plan) ? 0 : 1;
}

int cmd_extract(const Args& a, std::FILE* out, std::FILE* err) {
    const std::string_view cmd = "extract";
    if (a.help) return help(out, kExtractHelp);
    if (a.positional.size() != 1) return usage_error(err, cmd, "expected exactly one FILE");
    const std::string* index_text = a.value("--index");
    const std::string* output = a.value("-o");
    if (!index_text) return usage_error(err, cmd, "--index N is required");
    if (!output) return usage_error(err, cmd, "-o OUT is required");
    std::uint64_t index = 0;
    if (!parse_number(*index_text, 0xFFFFFFFFu, &index))
        return usage_error(err, cmd, "bad index '" + *index_text + "'");

    const std::string& name = a.positional[0];
    std::vector<std::uint8_t> file;
    std::string error;
    if (!read_whole_file(name, &file, &error)) return fail(err, cmd, error);
    const ImageWalk walk = walk_image_file(file);
    if (index >= walk.entries.size()) {
        return fail(err, cmd,
                    name + " holds " + std::to_string(walk.entries.size()) + " sub-image" +
                        (walk.entries.size() == 1 ? "" : "s") + "; there is no #" +
                        std::to_string(index));
    }
    const WalkEntry& e = walk.entries[static_cast<std::size_t>(index)];
    const std::string where = name + ": sub-image #" + std::to_string(index);
    if (e.status == SubImageStatus::invalid_lengths || e.status == SubImageStatus::truncated)
        return fail(err, cmd, where + " cannot be extracted: " + status_text(e.status));
    if (e.status == SubImageStatus::crc_mismatch && !a.has("--force"))
        return fail(err, cmd, where + " has a crc mismatch (use --force to extract it anyway)");

    const std::size_t start =
        static_cast<std::size_t>(e.offset) +
        (a.has("--payload") ? std::size_t{e.extent.header_length} : std::size_t{0});
    const std::size_t end = static_cast<std::size_t>(e.offset + e.extent.total_length);
    const std::span<const std::uint8_t> bytes(file.data() + start, end - start);
    if (!write_file_replacing(*output, {bytes}, &error)) return fail(err, cmd, error);
    std::fprintf(out, "%s: %zu bytes (%s of sub-image #%" PRIu64 ")\n", output->c_str(),
                 bytes.size(), a.has("--payload") ? "payload" : "whole", index);
    return 0;
}

struct Command {
    std::string_view name;
    std::span<const OptionDef> options;
    int (*run)(const Args&, std::FILE*, std::FILE*);
};

constexpr OptionDef kCreateOptions[] = {{"--type", true},          {"--version", true},
                                        {"--layout", true},        {"--header-length", true},
                                        {"--embed-header", false}, {"-o", true}};
constexpr OptionDef kBundleOptions[] = {{"-o", true}, {"--strict", false}};
constexpr OptionDef kPlanOptions[] = {
    {"--switch", true}, {"--json", false}, {"--slot", true}, {"--skip-same-version", false}};
constexpr OptionDef kInfoOptions[] = {{"--json", false}};
constexpr OptionDef kExtractOptions[] = {
    {"--index", true}, {"--payload", false}, {"--force", false}, {"-o", true}};

}  // namespace

int run_slotimg(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    static const Command commands[] = {
        {"create", kCreateOptions, cmd_create}, {"bundle", kBundleOptions, cmd_bundle},
        {"info", kInfoOptions, cmd_info},       {"verify", {}, cmd_verify},
        {"plan", kPlanOptions, cmd_plan},       {"extract", kExtractOptions, cmd_extract},
    };
    if (argc < 2) {
        std::fputs("slotimg: no command given (see 'slotimg --help')\n", err);
        return 2;
    }
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") return help(out, kMainHelp);
    if (name == "--version") {
        std::fprintf(out, "slotimg %s\n", kSlotbootVersion);
        return 0;
    }
    for (const Command& c : commands) {
        if (c.name != name) continue;
        Args args;
        std::string error;
        if (!parse_args(argc, argv, 2, c.options, &args, &error)) {
            // --help anywhere still answers, even beside a bad option.
            for (int i = 2; i < argc; ++i) {
                if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
                    Args help_only;
                    help_only.help = true;
                    return c.run(help_only, out, err);
                }
            }
            return usage_error(err, name, error);
        }
        const int status = c.run(args, out, err);
        std::fflush(out);
        return status;
    }
    std::fprintf(err, "slotimg: unknown command '%.*s' (see 'slotimg --help')\n",
                 static_cast<int>(name.size()), name.data());
    return 2;
}
