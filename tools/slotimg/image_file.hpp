// slotimg's image logic, apart from arguments and files: building a
// sub-image, walking an image file, and describing what the walk found.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_header.hpp"
#include "platform/parse_number.hpp"  // parse_number, for the options

// What `slotimg create` makes.
struct CreateRequest {
    std::uint32_t type = 0;           // type code, bit 31 clear
    std::uint32_t version = 0;        // id word a.b.c.d, a most significant
    std::uint8_t layout = 1;          // 1, 2 or 3
    std::uint32_t header_length = 0;  // H; 0 picks the default (16, or 24 in layouts 2 and 3)
    bool embed_header = false;        // put a copy of the 16-byte header at payload byte 240
};

inline constexpr std::uint32_t DEFAULT_EXTENDED_HEADER_LENGTH = 24;

// Builds header and payload into `out`, with len and crc computed. The
// embedded copy (bootloader only) holds len, magic and id of the header and a
// crc word of 0: it lies inside the bytes the real crc covers, so it cannot
// hold that crc, and the installed-version lookup ignores the word.
// Returns "" on success, else why the image cannot be made.
std::string build_subimage(const CreateRequest& request, std::span<const std::uint8_t> payload,
                           std::vector<std::uint8_t>* out);

// "A.B.C.D", each 0-255, into the id word.
bool parse_version(std::string_view text, std::uint32_t* out);
// A type name ("kernel", ...) or a code in decimal or 0x-hex below 2^31.
bool parse_type(std::string_view text, std::uint32_t* out);
std::string format_version(std::uint32_t id);
// A type's name, or its code as 0x-hex.
std::string type_text(std::uint32_t type);

std::string printf_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
void append_json_string(std::string* out, std::string_view text);

enum class SubImageStatus {
    sound,
    crc_mismatch,
    invalid_lengths,  // the header cannot describe a sub-image; the walk stops
    truncated,        // passes the end of the file; the walk stops
};

// For bootloader images: the copy of the header at payload byte 240.
enum class HeaderCopy {
    not_applicable,  // not a bootloader, or the extent is not usable
    matches,         // len, magic and id equal those of the header
    differs,
    missing,  // payload shorter than 256 bytes
};

struct WalkEntry {
    std::uint64_t offset = 0;
    SubImageExtent extent{};
    ImageHeader header{};            // the fixed part as stored
    std::uint32_t computed_crc = 0;  // meaningful only when the extent is ok
    SubImageStatus status = SubImageStatus::sound;
    HeaderCopy header_copy = HeaderCopy::not_applicable;
};

struct ImageWalk {
    std::uint64_t file_size = 0;
    std::vector<WalkEntry> entries;
    std::uint64_t trailing_offset = 0;  // bytes at the end that hold no sub-image
    std::uint64_t trailing_length = 0;  // 0 when there are none
};

// Walks the file as the loader does: 24 bytes at each start, the extent
// check, on by T; stops when fewer than 24 bytes remain or at an extent that
// is invalid or cut short. Always ends: every step moves at least 16 bytes.
ImageWalk walk_image_file(std::span<const std::uint8_t> file);

// One line per problem (crc mismatch, bad extent, trailing bytes, no
// sub-image at all); empty when every sub-image is sound.
std::vector<std::string> walk_problems(const ImageWalk& walk);

const char* status_text(SubImageStatus status);
const char* header_copy_text(HeaderCopy copy);

std::string format_info_text(const ImageWalk& walk, std::string_view name);
std::string format_info_json(const ImageWalk& walk, std::string_view name);
