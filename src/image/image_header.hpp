// The image format: sub-image headers in their three layouts, the type codes,
// the one extent check every walker uses, and the image CRC-32.
#pragma once
#include <cstddef>
#include <cstdint>

// Type codes: the magic word with the extended-header flag (bit 31) cleared.
enum ImageType : std::uint32_t {
    IMAGE_TYPE_APPLICATION = 0x014F5249,
    IMAGE_TYPE_BOOTLOADER = 0x024F5249,
    IMAGE_TYPE_KERNEL = 0x034F5249,
    IMAGE_TYPE_ROOTFS = 0x044F5249,
    IMAGE_TYPE_DEVICETREE = 0x054F5249,
    IMAGE_TYPE_DIAGNOSTICS = 0x064F5249,
};

enum HeaderLayout : std::uint8_t {
    HEADER_LAYOUT_1 = 1,  // 16-byte fixed part only
    HEADER_LAYOUT_2 = 2,  // bit 31 of magic set, H at bytes 18-19
    HEADER_LAYOUT_3 = 3,  // "HDR3" at bytes 16-19, H at bytes 22-23
};

inline constexpr std::uint32_t IMAGE_EXTENDED_FLAG = 0x80000000u;
inline constexpr std::uint32_t IMAGE_TYPE_MASK = 0x7FFFFFFFu;
inline constexpr std::uint32_t IMAGE_HDR3_WORD = 0x48445233u;  // "HDR3"
inline constexpr std::uint32_t IMAGE_CRC_INIT = 0xFFFFFFFFu;
inline constexpr std::size_t IMAGE_FIXED_HEADER_SIZE = 16;
inline constexpr std::size_t IMAGE_PROBE_SIZE = 24;  // what a walker reads first
inline constexpr std::size_t BOOTLOADER_HEADER_COPY_OFFSET = 240;

// The 16-byte fixed part, decoded.
struct ImageHeader {
    std::uint32_t crc;
    std::uint32_t len;
    std::uint32_t magic;
    std::uint32_t id;
};

ImageHeader decode_image_header(const std::uint8_t* bytes16);
void encode_image_header(const ImageHeader& header, std::uint8_t* bytes16);

inline std::uint32_t image_type_of(std::uint32_t magic) { return magic & IMAGE_TYPE_MASK; }

// Name of a known type ("application", "kernel", ...), or nullptr.
const char* image_type_name(std::uint32_t type);

// Derives the layout, header length H and payload length P from the first
// 24 bytes of a sub-image. Checks nothing: any 24 bytes give an answer.
// magic_out receives the magic word as stored (bit 31 included).
void parse_image_header(const std::uint8_t* header, std::uint32_t* magic_out,
                        std::uint8_t* layout_out, std::uint32_t* header_length_out,
                        std::uint32_t* payload_length_out);

// Reflected CRC-32 (polynomial 0xEDB88320) without final inversion, started
// from `initial`. Chaining calls over consecutive pieces gives the same
// result as one call over the whole.
std::uint32_t image_crc32(const std::uint8_t* bytes, std::size_t length, std::uint32_t initial);

// 1 when image_crc32(bytes, length, 0xFFFFFFFF) differs from expected, else 0.
int image_crc_mismatch(const std::uint8_t* bytes, std::size_t length, std::uint32_t expected);

// The one extent check. Given the first 24 bytes of a sub-image and how many
// bytes remain from its start, says whether the header describes a sub-image
// at all and whether that sub-image fits in what remains.
enum class ExtentStatus {
    ok,         // describes a sub-image that fits
    invalid,    // lengths that cannot describe a sub-image
    truncated,  // a valid sub-image that passes the end of what remains
};

struct SubImageExtent {
    ExtentStatus status;
    std::uint32_t magic;           // as stored
    std::uint32_t type;            // magic with bit 31 cleared
    std::uint8_t layout;           // 1, 2 or 3
    std::uint32_t header_length;   // H
    std::uint32_t payload_length;  // P
    std::uint64_t total_length;    // T = H + P, computed without wrapping
};

SubImageExtent check_subimage_extent(const std::uint8_t* first24, std::uint64_t remaining);

// Text for an extent that is not ok, for messages: "invalid header lengths"
// or "cut short by the end of the file".
const char* extent_problem_text(ExtentStatus status);
