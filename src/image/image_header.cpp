// The image format: header layouts, the extent check, and the CRC-32.
#include "image/image_header.hpp"

#include <array>

#include "image/byte_order.hpp"

ImageHeader decode_image_header(const std::uint8_t* b) {
    return ImageHeader{load_be32(b), load_be32(b + 4), load_be32(b + 8), load_be32(b + 12)};
}

void encode_image_header(const ImageHeader& h, std::uint8_t* b) {
    store_be32(b, h.crc);
    store_be32(b + 4, h.len);
    store_be32(b + 8, h.magic);
    store_be32(b + 12, h.id);
}

const char* image_type_name(std::uint32_t type) {
    switch (type) {
    case IMAGE_TYPE_APPLICATION: return "application";
    case IMAGE_TYPE_BOOTLOADER: return "bootloader";
    case IMAGE_TYPE_KERNEL: return "kernel";
    case IMAGE_TYPE_ROOTFS: return "rootfs";
    case IMAGE_TYPE_DEVICETREE: return "devicetree";
    case IMAGE_TYPE_DIAGNOSTICS: return "diagnostics";
    default: return nullptr;
    }
}

void parse_image_header(const std::uint8_t* header, std::uint32_t* magic_out,
                        std::uint8_t* layout_out, std::uint32_t* header_length_out,
                        std::uint32_t* payload_length_out) {
    const std::uint32_t len = load_be32(header + 4);
    const std::uint32_t magic = load_be32(header + 8);
    *magic_out = magic;
    if (load_be32(header + 16) == IMAGE_HDR3_WORD) {
        const std::uint32_t h = load_be16(header + 22);
        *layout_out = HEADER_LAYOUT_3;
        *header_length_out = h;
        *payload_length_out = len - h + 16;  // unsigned 32-bit, as defined
    } else if (magic & IMAGE_EXTENDED_FLAG) {
        *layout_out = HEADER_LAYOUT_2;
        *header_length_out = load_be16(header + 18);
        *payload_length_out = len;
    } else {
        *layout_out = HEADER_LAYOUT_1;
        *header_length_out = 16;
        *payload_length_out = len;
    }
}

SubImageExtent check_subimage_extent(const std::uint8_t* first24, std::uint64_t remaining) {
    SubImageExtent e{};
    parse_image_header(first24, &e.magic, &e.layout, &e.header_length, &e.payload_length);
    e.type = image_type_of(e.magic);
    const std::uint64_t len = load_be32(first24 + 4);
    const std::uint64_t h = e.header_length;
    bool valid = h >= IMAGE_FIXED_HEADER_SIZE;
    if (e.layout == HEADER_LAYOUT_3) {
        e.total_length = len + 16;
        valid = valid && h <= len + 16;
    } else {
        e.total_length = h + len;
    }
    valid = valid && e.total_length >= IMAGE_FIXED_HEADER_SIZE && e.total_length >= h &&
            e.total_length <= 0xFFFFFFFFull;
    if (!valid) {
        e.status = ExtentStatus::invalid;
    } else if (e.total_length > remaining) {
        e.status = ExtentStatus::truncated;
    } else {
        e.status = ExtentStatus::ok;
    }
    return e;
}

const char* extent_problem_text(ExtentStatus status) {
    switch (status) {
    case ExtentStatus::ok: return "sound extent";
    case ExtentStatus::invalid: return "invalid header lengths";
    case ExtentStatus::truncated: return "cut short by the end of the file";
    }
    return "?";
}

namespace {

// Slicing-by-16 tables: table[0] is the classic byte table, table[k][b] is
// the CRC of byte b followed by k zero bytes. 16 KiB, built at compile time.
constexpr std::size_t kSlices = 16;
using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][b] = c;
    }
    for (std::uint32_t b = 0; b < 256; ++b) {
        for (std::size_t k = 1; k < kSlices; ++k)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
    }
    return t;
}

constexpr CrcTables kCrcTables = make_crc_tables();

// The CRC consumes bytes least significant bit first, so four input bytes
// are gathered little-endian whatever the host's order (compilers turn this
// into one load, byte-reversed on a big-endian core).
inline std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

}  // namespace

std::uint32_t image_crc32(const std::uint8_t* bytes, std::size_t length, std::uint32_t initial) {
    const CrcTables& t = kCrcTables;
    std::uint32_t c = initial;
    while (length >= kSlices) {
        // The first four bytes meet the running CRC; the other twelve go
        // straight to their tables (a byte load each, no shifting) and are
        // combined first, off the path that waits for the previous block.
        // Byte j of the block is followed by 15 - j more, so it takes table 15 - j.
        const std::uint32_t rest =
            (t[11][bytes[4]] ^ t[10][bytes[5]] ^ t[9][bytes[6]] ^ t[8][bytes[7]]) ^
            (t[7][bytes[8]] ^ t[6][bytes[9]] ^ t[5][bytes[10]] ^ t[4][bytes[11]]) ^
            (t[3][bytes[12]] ^ t[2][bytes[13]] ^ t[1][bytes[14]] ^ t[0][bytes[15]]);
        const std::uint32_t w = c ^ load_le32(bytes);
        c = rest ^ (t[15][w & 0xFFu] ^ t[14][(w >> 8) & 0xFFu]) ^
            (t[13][(w >> 16) & 0xFFu] ^ t[12][w >> 24]);
        bytes += kSlices;
        length -= kSlices;
    }
    while (length--) c = (c >> 8) ^ t[0][(c ^ *bytes++) & 0xFFu];
    return c;
}

int image_crc_mismatch(const std::uint8_t* bytes, std::size_t length, std::uint32_t expected) {
    return image_crc32(bytes, length, IMAGE_CRC_INIT) != expected ? 1 : 0;
}
