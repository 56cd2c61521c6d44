// The walk over a slot file for its bootable sub-image, and the verified copy
// of that sub-image's payload into the application archive.
#pragma once
#include <cstdint>
#include <cstdio>

#include "image/image_header.hpp"

// How a walk ended, for the caller's messages.
enum class BootWalkEnd {
    found,         // a bootable sub-image with a sound extent
    end_of_file,   // fewer than 24 bytes left before a bootable header came
    bad_bootable,  // a bootable header whose lengths are invalid or pass the end
    bad_header,    // another header with invalid lengths: the walk stopped there
};

// What a walk saw last: the bootable sub-image when one was found, else the
// header that ended the walk (all zero when the file held no header at all).
struct BootWalk {
    BootWalkEnd end;
    SubImageExtent extent;     // of the last header examined
    std::uint64_t offset;      // where that header starts
    std::uint32_t stored_crc;  // its crc word

    bool found() const { return end == BootWalkEnd::found; }
};

// Walks an open slot file from its start for the first application or
// diagnostics sub-image, from header to header by their lengths. When one is
// found with a sound extent, the file is left positioned at it.
BootWalk find_boot_subimage(std::FILE* file);

// Reads the sub-image at the current position of `image` (header_length +
// payload_length bytes) piece by piece, computing its CRC and writing the
// payload to `archive` on the way. True when the CRC equals expected_crc.
// False on a mismatch, a short read or no memory; the archive is then
// emptied. Memory use does not depend on the image size.
bool copy_verified_payload(std::FILE* image, std::uint32_t header_length,
                           std::uint32_t payload_length, std::uint32_t expected_crc,
                           std::FILE* archive);
