// The walk over a slot file for its bootable sub-image, and the verified copy
// of that sub-image's payload into the application archive.
#pragma once
#include <cstdint>
#include <cstdio>

#include "image/image_header.hpp"

// How a walk ended, for the caller's messages.
enum class BootWalkEnd {
    found,          // a bootable sub-image with a sound extent
    end_of_file,    // fewer than 24 bytes left before a bootable header came
    bad_bootable,   // a bootable header whose lengths are invalid or pass the end
    bad_header,     // another header with invalid lengths: the walk stopped there
};

struct BootWalkInfo {
    BootWalkEnd end;
    ExtentStatus extent;       // of the last header examined (ok when none)
    std::uint32_t last_type;   // type code of the last header examined, 0 when none
    std::uint64_t offset;      // where the last header examined starts
};

// Walks an open slot file from its start for the first application or
// diagnostics sub-image. 1 when found with a sound extent (file positioned at
// it, header_out holding its first 16 bytes); 0 otherwise: the end of the file
// came first, the walk met a header that describes no sub-image, or the
// bootable sub-image's lengths are invalid or pass the end of the file (info
// says which). The type, layout and length outputs describe the last header
// examined. info may be null.
int find_boot_subimage(std::FILE* file, std::uint32_t* type_out, std::uint8_t* layout_out,
                       std::uint32_t* header_length_out, std::uint32_t* payload_length_out,
                       std::uint8_t* header_out, BootWalkInfo* info = nullptr);

// Size of the pieces in which a sub-image is read, checked and copied.
inline constexpr std::size_t BOOT_COPY_CHUNK = 64 * 1024;

// Reads the sub-image at the current position of `image` (header_length +
// payload_length bytes) piece by piece, computing its CRC from byte 4 and
// writing the payload to `archive` on the way. 1 when the CRC equals
// expected_crc. 0 on a mismatch, a short read or no memory; the archive is
// then emptied. Memory use does not depend on the image size.
int copy_verified_payload(std::FILE* image, std::uint32_t header_length,
                          std::uint32_t payload_length, std::uint32_t expected_crc,
                          std::FILE* archive);
