// The walk over a slot file for its bootable sub-image, and the verified copy
// of that sub-image's payload into the application archive.
#include "boot/boot_walk.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "image/byte_order.hpp"
#include "image/image_stream.hpp"

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

// Leaves nothing in the archive that could pass for one.
void empty_archive(std::FILE* archive) {
    std::fflush(archive);
    if (ftruncate(fileno(archive), 0) == 0) std::rewind(archive);
}

}  // namespace

BootWalk find_boot_subimage(std::FILE* file) {
    BootWalk walk{BootWalkEnd::end_of_file, SubImageExtent{}, 0, 0};
    const std::uint64_t size = file_size(file);
    std::uint64_t offset = 0;
    // Every sound extent is at least 16 bytes long and ends within the file,
    // so the offset only grows and the walk ends at the end of the file.
    while (true) {
        std::uint8_t first24[IMAGE_PROBE_SIZE];
        if (!seek_to(file, offset) ||
            std::fread(first24, 1, sizeof first24, file) != sizeof first24) {
            return walk;
        }
        const std::uint64_t remaining = size > offset ? size - offset : 0;
        walk.extent = check_subimage_extent(first24, remaining);
        walk.offset = offset;
        walk.stored_crc = load_be32(first24);
        const ExtentStatus status = walk.extent.status;

        if (is_bootable(walk.extent.type)) {
            if (status != ExtentStatus::ok) {
                walk.end = BootWalkEnd::bad_bootable;
            } else if (seek_to(file, offset)) {
                walk.end = BootWalkEnd::found;
            }
            return walk;
        }
        if (status == ExtentStatus::invalid) walk.end = BootWalkEnd::bad_header;
        if (status != ExtentStatus::ok) return walk;  // nothing can follow it
        offset += walk.extent.total_length;
    }
}

bool copy_verified_payload(std::FILE* image, std::uint32_t header_length,
                           std::uint32_t payload_length, std::uint32_t expected_crc,
                           std::FILE* archive) {
    const std::uint64_t total = std::uint64_t{header_length} + payload_length;
    const off_t start = ftello(image);
    bool sound = start >= 0 && total >= IMAGE_CRC_FROM && total <= UINT32_MAX;
    if (sound) {
        // The write result is not tested: an incomplete archive shows when
        // it is unpacked.
        const StreamSink payload{[archive](std::span<const std::uint8_t> bytes) {
                                     std::fwrite(bytes.data(), 1, bytes.size(), archive);
                                     return true;
                                 },
                                 header_length};
        const StreamResult result =
            stream_image(read_from_file(image),
                         {static_cast<std::uint64_t>(start), static_cast<std::uint32_t>(total)},
                         payload, StreamBuffer());
        sound = result.sound(expected_crc);
    }
    if (!sound) empty_archive(archive);
    return sound;
}
