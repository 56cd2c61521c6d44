// slotimg's image logic: building a sub-image, walking an image file, and
// describing the walk as text or JSON.
#include "slotimg/image_file.hpp"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "image/byte_order.hpp"
#include "image/install_plan.hpp"

namespace {

constexpr std::uint64_t kMaxTotalLength = 0xFFFFFFFFull;
constexpr std::size_t kCopyEnd = BOOTLOADER_HEADER_COPY_OFFSET + IMAGE_FIXED_HEADER_SIZE;

}  // namespace

std::string printf_string(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string s;
    if (n > 0) {
        s.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(s.data(), s.size(), format, again);
        s.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return s;
}

namespace {

HeaderCopy check_header_copy(std::span<const std::uint8_t> sub, const SubImageExtent& e) {
    if (e.type != IMAGE_TYPE_BOOTLOADER) return HeaderCopy::not_applicable;
    if (e.payload_length < kCopyEnd) return HeaderCopy::missing;
    const std::uint8_t* copy = sub.data() + e.header_length + BOOTLOADER_HEADER_COPY_OFFSET;
    return std::memcmp(copy + 4, sub.data() + 4, 12) == 0 ? HeaderCopy::matches
                                                          : HeaderCopy::differs;
}

}  // namespace

std::string type_text(std::uint32_t type) {
    const char* name = image_type_name(type);
    return name ? std::string(name) : printf_string("0x%08" PRIX32, type);
}

void append_json_string(std::string* out, std::string_view text) {
    out->push_back('"');
    for (unsigned char ch : text) {
        switch (ch) {
        case '"': out->append("\\\""); break;
        case '\\': out->append("\\\\"); break;
        case '\n': out->append("\\n"); break;
        case '\t': out->append("\\t"); break;
        case '\r': out->append("\\r"); break;
        default:
            if (ch < 0x20) {
                out->append(printf_string("\\u%04x", ch));
            } else {
                out->push_back(static_cast<char>(ch));
            }
        }
    }
    out->push_back('"');
}

bool parse_version(std::string_view text, std::uint32_t* out) {
    std::uint32_t id = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = text.find('.');
        const bool last = part == 3;
        if (last != (dot == std::string_view::npos)) return false;
        const std::string_view digits = last ? text : text.substr(0, dot);
        if (digits.empty() || digits.size() > 3) return false;
        std::uint64_t v = 0;
        for (char ch : digits) {
            if (ch < '0' || ch > '9') return false;
            v = v * 10 + static_cast<unsigned>(ch - '0');
        }
        if (v > 255) return false;
        id = (id << 8) | static_cast<std::uint32_t>(v);
        if (!last) text.remove_prefix(dot + 1);
    }
    *out = id;
    return true;
}

bool parse_type(std::string_view text, std::uint32_t* out) {
    for (std::uint32_t code : {IMAGE_TYPE_APPLICATION, IMAGE_TYPE_BOOTLOADER, IMAGE_TYPE_KERNEL,
                               IMAGE_TYPE_ROOTFS, IMAGE_TYPE_DEVICETREE, IMAGE_TYPE_DIAGNOSTICS}) {
        if (text == image_type_name(code)) {
            *out = code;
            return true;
        }
    }
    std::uint64_t v = 0;
    if (!parse_number(text, IMAGE_TYPE_MASK, &v)) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

std::string format_version(std::uint32_t id) {
    return printf_string("%u.%u.%u.%u", unsigned{id >> 24}, unsigned{(id >> 16) & 0xFFu},
                         unsigned{(id >> 8) & 0xFFu}, unsigned{id & 0xFFu});
}

std::string build_subimage(const CreateRequest& r, std::span<const std::uint8_t> payload,
                           std::vector<std::uint8_t>* out) {
    if (r.type > IMAGE_TYPE_MASK) return "the type code must fit in 31 bits";
    std::uint32_t h = 0;
    switch (r.layout) {
    case HEADER_LAYOUT_1:
        if (r.header_length != 0 && r.header_length != IMAGE_FIXED_HEADER_SIZE)
            return "layout 1 has a fixed 16-byte header; --header-length needs layout 2 or 3";
        h = IMAGE_FIXED_HEADER_SIZE;
        // A reader takes 24 bytes and looks for "HDR3" at bytes 16-19,
        // which here are the first payload bytes.
        if (payload.size() >= 4 && load_be32(payload.data()) == IMAGE_HDR3_WORD)
            return "the payload begins with \"HDR3\", so a layout-1 image would be read as layout "
                   "3; "
                   "use --layout 2 or 3";
        // Shorter than 24 bytes in all: a walk that reaches it at the end
        // of a file does not see it.
        if (payload.size() < IMAGE_PROBE_SIZE - IMAGE_FIXED_HEADER_SIZE)
            return printf_string("a layout-1 payload needs at least 8 bytes (this one has %zu); "
                                 "use --layout 2 or 3 for a shorter one",
                                 payload.size());
        break;
    case HEADER_LAYOUT_2:
    case HEADER_LAYOUT_3:
        h = r.header_length != 0 ? r.header_length : DEFAULT_EXTENDED_HEADER_LENGTH;
        if (h < IMAGE_PROBE_SIZE || h > 0xFFFF)
            return printf_string("header length %" PRIu32 " is outside 24..65535", h);
        break;
    default: return "the layout must be 1, 2 or 3";
    }
    if (r.embed_header) {
        if (r.type != IMAGE_TYPE_BOOTLOADER) return "only a bootloader image carries a header copy";
        if (payload.size() < kCopyEnd)
            return printf_string(
                "the header copy goes at payload bytes 240-255, but the payload has only %zu bytes",
                payload.size());
    }
    if (std::uint64_t{h} + payload.size() > kMaxTotalLength)
        return printf_string(
            "payload of %zu bytes is too large: an image holds at most 4294967295 bytes",
            payload.size());

    const std::uint32_t p = static_cast<std::uint32_t>(payload.size());
    ImageHeader header{};
    header.magic = r.type;
    header.id = r.version;
    header.len = r.layout == HEADER_LAYOUT_3 ? h - IMAGE_FIXED_HEADER_SIZE + p : p;
    if (r.layout == HEADER_LAYOUT_2) header.magic |= IMAGE_EXTENDED_FLAG;

    out->assign(h, 0);
    out->insert(out->end(), payload.begin(), payload.end());
    std::uint8_t* b = out->data();
    encode_image_header(header, b);
    if (r.layout == HEADER_LAYOUT_2) store_be16(b + 18, static_cast<std::uint16_t>(h));
    if (r.layout == HEADER_LAYOUT_3) {
        store_be32(b + 16, IMAGE_HDR3_WORD);
        store_be16(b + 22, static_cast<std::uint16_t>(h));
    }
    if (r.embed_header) {
        ImageHeader copy = header;
        copy.crc = 0;
        encode_image_header(copy, b + h + BOOTLOADER_HEADER_COPY_OFFSET);
    }
    store_be32(b, image_crc32(b + 4, out->size() - 4, IMAGE_CRC_INIT));
    return "";
}

ImageWalk walk_image_file(std::span<const std::uint8_t> file) {
    ImageWalk walk;
    walk.file_size = file.size();
    std::uint64_t end = 0;  // of the last sound extent
    bool stopped = false;
    walk_sub_images(file, [&](std::uint64_t at, const std::uint8_t* first,
                              const SubImageExtent& extent) {
        WalkEntry entry;
        entry.offset = at;
        entry.extent = extent;
        entry.header = decode_image_header(first);
        if (extent.status == ExtentStatus::invalid) {
            entry.status = SubImageStatus::invalid_lengths;
        } else if (extent.status == ExtentStatus::truncated) {
            entry.status = SubImageStatus::truncated;
        } else {
            const std::span<const std::uint8_t> sub(file.data() + at,
                                                    static_cast<std::size_t>(extent.total_length));
            entry.computed_crc = image_crc32(sub.data() + 4, sub.size() - 4, IMAGE_CRC_INIT);
            entry.status = entry.computed_crc == entry.header.crc ? SubImageStatus::sound
                                                                  : SubImageStatus::crc_mismatch;
            entry.header_copy = check_header_copy(sub, extent);
            end = at + extent.total_length;
        }
        // Past a bad extent nothing can be found: its bytes belong to it.
        stopped = extent.status != ExtentStatus::ok;
        walk.entries.push_back(entry);
        return true;
    });
    if (!stopped && end < file.size()) {
        walk.trailing_offset = end;
        walk.trailing_length = file.size() - end;
    }
    return walk;
}

const char* status_text(SubImageStatus status) {
    switch (status) {
    case SubImageStatus::sound: return "sound";
    case SubImageStatus::crc_mismatch: return "crc mismatch";
    case SubImageStatus::invalid_lengths: return extent_problem_text(ExtentStatus::invalid);
    case SubImageStatus::truncated: return extent_problem_text(ExtentStatus::truncated);
    }
    return "?";
}

const char* header_copy_text(HeaderCopy copy) {
    switch (copy) {
    case HeaderCopy::not_applicable: return "not applicable";
    case HeaderCopy::matches: return "matches";
    case HeaderCopy::differs: return "differs from the header";
    case HeaderCopy::missing: return "missing (payload shorter than 256 bytes)";
    }
    return "?";
}

std::vector<std::string> walk_problems(const ImageWalk& walk) {
    std::vector<std::string> problems;
    for (std::size_t i = 0; i < walk.entries.size(); ++i) {
        const WalkEntry& e = walk.entries[i];
        const std::string where = printf_string("sub-image #%zu at offset %" PRIu64, i, e.offset);
        switch (e.status) {
        case SubImageStatus::sound: break;
        case SubImageStatus::crc_mismatch:
            problems.push_back(printf_string("%s: crc mismatch (stored 0x%08" PRIX32
                                             ", computed 0x%08" PRIX32 ")",
                                             where.c_str(), e.header.crc, e.computed_crc));
            break;
        case SubImageStatus::invalid_lengths:
            problems.push_back(printf_string("%s: %s (layout %u, len %" PRIu32 ", H %" PRIu32 ")",
                                             where.c_str(), status_text(e.status),
                                             unsigned{e.extent.layout}, e.header.len,
                                             e.extent.header_length));
            break;
        case SubImageStatus::truncated:
            problems.push_back(printf_string("%s: %s (T %" PRIu64 ", %" PRIu64 " bytes remain)",
                                             where.c_str(), status_text(e.status),
                                             e.extent.total_length, walk.file_size - e.offset));
            break;
        }
    }
    if (walk.trailing_length != 0) {
        problems.push_back(printf_string("trailing %" PRIu64 " bytes at offset %" PRIu64
                                         " hold no sub-image",
                                         walk.trailing_length, walk.trailing_offset));
    }
    if (walk.entries.empty()) problems.push_back("no sub-image found");
    return problems;
}

std::string format_info_text(const ImageWalk& walk, std::string_view name) {
    std::string s = printf_string("%.*s: %zu sub-image%s in %" PRIu64 " bytes\n",
                                  static_cast<int>(name.size()), name.data(), walk.entries.size(),
                                  walk.entries.size() == 1 ? "" : "s", walk.file_size);
    if (!walk.entries.empty()) {
        s += printf_string("%-3s %-10s %-12s %-15s %-6s %-6s %-10s %-10s %-10s %-10s %s\n", "#",
                           "offset", "type", "version", "layout", "H", "P", "T", "crc", "computed",
                           "status");
    }
    for (std::size_t i = 0; i < walk.entries.size(); ++i) {
        const WalkEntry& e = walk.entries[i];
        const std::string computed = e.extent.status == ExtentStatus::ok
                                         ? printf_string("0x%08" PRIX32, e.computed_crc)
                                         : std::string("-");
        s += printf_string("%-3zu %-10" PRIu64 " %-12s %-15s %-6u %-6" PRIu32 " %-10" PRIu32
                           " %-10" PRIu64 " 0x%08" PRIX32 " %-10s %s\n",
                           i, e.offset, type_text(e.extent.type).c_str(),
                           format_version(e.header.id).c_str(), unsigned{e.extent.layout},
                           e.extent.header_length, e.extent.payload_length, e.extent.total_length,
                           e.header.crc, computed.c_str(), status_text(e.status));
        if (e.header_copy != HeaderCopy::not_applicable) {
            s += printf_string("    header copy at payload byte 240: %s\n",
                               header_copy_text(e.header_copy));
        }
    }
    if (walk.trailing_length != 0) {
        s += printf_string("trailing %" PRIu64 " bytes at offset %" PRIu64 " hold no sub-image\n",
                           walk.trailing_length, walk.trailing_offset);
    }
    s += walk_problems(walk).empty() ? "result: sound\n" : "result: NOT sound\n";
    return s;
}

std::string format_info_json(const ImageWalk& walk, std::string_view name) {
    std::string s = "{\"file\": ";
    append_json_string(&s, name);
    s += printf_string(", \"size\": %" PRIu64 ", \"subimages\": [", walk.file_size);
    for (std::size_t i = 0; i < walk.entries.size(); ++i) {
        const WalkEntry& e = walk.entries[i];
        const char* type_name = image_type_name(e.extent.type);
        s += i == 0 ? "\n  " : ",\n  ";
        s += printf_string("{\"index\": %zu, \"offset\": %" PRIu64 ", \"type\": ", i, e.offset);
        if (type_name) {
            append_json_string(&s, type_name);
        } else {
            s += "null";
        }
        s += printf_string(", \"type_code\": %" PRIu32 ", \"magic\": %" PRIu32
                           ", \"version\": \"%s\"",
                           e.extent.type, e.extent.magic, format_version(e.header.id).c_str());
        s += printf_string(", \"layout\": %u, \"header_length\": %" PRIu32
                           ", \"payload_length\": %" PRIu32 ", \"total_length\": %" PRIu64,
                           unsigned{e.extent.layout}, e.extent.header_length,
                           e.extent.payload_length, e.extent.total_length);
        s += printf_string(", \"stored_crc\": \"0x%08" PRIX32 "\", \"computed_crc\": ",
                           e.header.crc);
        s += e.extent.status == ExtentStatus::ok
                 ? printf_string("\"0x%08" PRIX32 "\"", e.computed_crc)
                 : "null";
        s += printf_string(", \"status\": \"%s\", \"sound\": %s", status_text(e.status),
                           e.status == SubImageStatus::sound ? "true" : "false");
        if (e.header_copy != HeaderCopy::not_applicable) {
            const char* copy = e.header_copy == HeaderCopy::matches   ? "matches"
                               : e.header_copy == HeaderCopy::differs ? "differs"
                                                                      : "missing";
            s += printf_string(", \"header_copy\": \"%s\"", copy);
        }
        s += "}";
    }
    s += walk.entries.empty() ? "]" : "\n]";
    if (walk.trailing_length != 0) {
        s += printf_string(", \"trailing\": {\"offset\": %" PRIu64 ", \"length\": %" PRIu64 "}",
                           walk.trailing_offset, walk.trailing_length);
    } else {
        s += ", \"trailing\": null";
    }
    s += walk_problems(walk).empty() ? ", \"sound\": true}\n" : ", \"sound\": false}\n";
    return s;
}
