// The walk over a slot file for its bootable sub-image, and the verified copy
// of that sub-image's payload into the application archive.
#include "boot/boot_walk.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

bool is_bootable(std::uint32_t type) {
    return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGNOSTICS;
}

bool seek_to(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::uint64_t file_size(std::FILE* file) {
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

int find_boot_subimage(std::FILE* file, std::uint32_t* type_out, std::uint8_t* layout_out,
                       std::uint32_t* header_length_out, std::uint32_t* payload_length_out,
                       std::uint8_t* header_out, BootWalkInfo* info) {
    BootWalkInfo local{};
    BootWalkInfo& walk = info ? *info : local;
    walk = BootWalkInfo{BootWalkEnd::end_of_file, ExtentStatus::ok, 0, 0};

    const std::uint64_t size = file_size(file);
    std::uint64_t offset = 0;
    // Every sound extent is at least 16 bytes long and ends within the file,
    // so the offset only grows and the walk ends at the end of the file.
    while (true) {
        std::uint8_t first24[IMAGE_PROBE_SIZE];
        if (!seek_to(file, offset) ||
            std::fread(first24, 1, sizeof first24, file) != sizeof first24) {
            return 0;
        }
        const std::uint64_t remaining = size > offset ? size - offset : 0;
        const SubImageExtent e = check_subimage_extent(first24, remaining);
        *type_out = e.type;
        *layout_out = e.layout;
        *header_length_out = e.header_length;
        *payload_length_out = e.payload_length;
        walk.extent = e.status;
        walk.last_type = e.type;
        walk.offset = offset;

        if (is_bootable(e.type)) {
            if (e.status != ExtentStatus::ok) {
                walk.end = BootWalkEnd::bad_bootable;
                return 0;
            }
            if (!seek_to(file, offset)) return 0;
            std::memcpy(header_out, first24, IMAGE_FIXED_HEADER_SIZE);
            walk.end = BootWalkEnd::found;
            return 1;
        }
        if (e.status == ExtentStatus::invalid) {
            walk.end = BootWalkEnd::bad_header;
            return 0;
        }
        if (e.status == ExtentStatus::truncated) return 0;  // nothing can follow it
        offset += e.total_length;
    }
}

int copy_verified_payload(std::FILE* image, std::uint32_t header_length,
                          std::uint32_t payload_length, std::uint32_t expected_crc,
                          std::FILE* archive) {
    const std::uint64_t total = std::uint64_t{header_length} + payload_length;
    std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[BOOT_COPY_CHUNK]);
    bool sound = chunk != nullptr && total >= 4;
    std::uint32_t crc = IMAGE_CRC_INIT;
    std::uint64_t done = 0;  // bytes of the sub-image consumed so far
    while (sound && done < total) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(BOOT_COPY_CHUNK, total - done));
        if (std::fread(chunk.get(), 1, want, image) != want) {
            sound = false;
            break;
        }
        // The CRC covers everything after the crc word.
        const std::uint64_t crc_from = done < 4 ? 4 - done : 0;
        if (crc_from < want) {
            crc = image_crc32(chunk.get() + crc_from, want - crc_from, crc);
        }
        // The payload starts at the header length. The write result is not
        // tested: an incomplete archive shows when it is unpacked.
        const std::uint64_t payload_from = done < header_length ? header_length - done : 0;
        if (payload_from < want) {
            std::fwrite(chunk.get() + payload_from, 1, want - payload_from, archive);
        }
        done += want;
    }
    if (sound && crc == expected_crc) return 1;
    // Leave nothing that could pass for an archive.
    std::fflush(archive);
    if (ftruncate(fileno(archive), 0) == 0) std::rewind(archive);
    return 0;
}
