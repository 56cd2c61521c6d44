// Bounded-memory reading behind the rescue-partition boot: the check-and-stream
// of the rescue sub-image and the copy of the debugger out of a slot file.
#include "boot/rescue_image.hpp"

#include <algorithm>
#include <new>
#include <unistd.h>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/flash.hpp"

namespace {

std::unique_ptr<std::uint8_t[]> allocate_chunk() {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[RESCUE_COPY_CHUNK]);
}

// Leaves a half-written output with no bytes, so that nothing of an image that
// failed its check is ever unpacked.
void empty_output(std::FILE* out) {
    std::fflush(out);
    if (ftruncate(fileno(out), 0) != 0) {
        // A stream that cannot be truncated (a pipe, say) holds nothing
        // reusable either; rewinding is all that is left to do.
    }
    std::rewind(out);
}

// Reads bytes [0, total) of `source` chunk by chunk, computes the CRC-32 of
// bytes [4, total) and writes bytes [skip, total) to `out`. True when every
// read and write succeeded and the CRC equals `expected_crc`.
bool pass_over_subimage(const ImageSource& source, std::uint32_t total, std::uint32_t skip,
                        std::FILE* out, std::uint32_t expected_crc) {
    auto chunk = allocate_chunk();
    if (!chunk || total > source.size) return false;
    std::uint32_t crc = IMAGE_CRC_INIT;
    std::uint32_t offset = 0;
    while (offset < total) {
        const std::uint32_t length = std::min(RESCUE_COPY_CHUNK, total - offset);
        if (source.read(source.context, offset, length, chunk.get()) != 0) return false;
        const std::uint32_t end = offset + length;
        if (end > 4) {
            const std::uint32_t from = std::max<std::uint32_t>(offset, 4);
            crc = image_crc32(chunk.get() + (from - offset), end - from, crc);
        }
        if (end > skip) {
            const std::uint32_t from = std::max(offset, skip);
            const std::size_t n = end - from;
            if (std::fwrite(chunk.get() + (from - offset), 1, n, out) != n) return false;
        }
        offset = end;
    }
    return crc == expected_crc && std::fflush(out) == 0;
}

int read_flash(void* context, std::uint32_t offset, std::uint32_t length, void* buffer) {
    return flash_read(buffer, *static_cast<const int*>(context), offset, length);
}

bool is_rescue_type(std::uint32_t type) {
    return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGNOSTICS;
}

}  // namespace

bool flash_image_source(int* handle, ImageSource* source) {
    FlashGeometry geometry{};
    if (flash_get_geometry(*handle, &geometry) != 1) return false;
    *source = ImageSource{read_flash, handle, geometry.total_size};
    return true;
}

RescueImage stream_rescue_image(const ImageSource& source, std::FILE* payload_out) {
    RescueImage image{RescueImageStatus::corrupt, 0, 0, 0, 0};
    std::uint8_t probe[IMAGE_PROBE_SIZE] = {};
    const auto probe_length =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(IMAGE_PROBE_SIZE, source.size));
    if (probe_length > 0 && source.read(source.context, 0, probe_length, probe) != 0) {
        empty_output(payload_out);
        return image;
    }
    const SubImageExtent extent = check_subimage_extent(probe, source.size);
    image.type = extent.type;
    image.header_length = extent.header_length;
    image.payload_length = extent.payload_length;
    if (!is_rescue_type(extent.type)) {
        image.status = RescueImageStatus::not_found;
        empty_output(payload_out);
        return image;
    }
    if (extent.status != ExtentStatus::ok) {
        empty_output(payload_out);
        return image;
    }
    image.total_length = static_cast<std::uint32_t>(extent.total_length);
    if (!pass_over_subimage(source, image.total_length, image.header_length, payload_out,
                            load_be32(probe))) {
        empty_output(payload_out);
        return image;
    }
    image.status = RescueImageStatus::sound;
    return image;
}

int copy_rescue_image(const ImageSource& source, const RescueImage& image, std::FILE* out) {
    if (image.status != RescueImageStatus::sound) return 0;
    // The crc word is read again with the rest, so the copy is checked against
    // what it holds rather than against the first pass.
    std::uint8_t crc_word[4] = {};
    if (image.total_length < 4 || source.read(source.context, 0, 4, crc_word) != 0) return 0;
    return pass_over_subimage(source, image.total_length, 0, out, load_be32(crc_word)) ? 1 : 0;
}

int copy_debugger_image(const char* slot_path, const char* gz_path, int other_slot) {
    UniqueFile slot_file(std::fopen(slot_path, "rb"));
    if (!slot_file) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other_slot);
        return 0;
    }
    UniqueFile gz_file(std::fopen(gz_path, "wb"));
    if (!gz_file) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }
    // A file shorter than the header leaves the missing bytes zero, which no
    // accepted magic word matches.
    std::uint8_t header[IMAGE_FIXED_HEADER_SIZE] = {};
    const std::size_t got = std::fread(header, 1, sizeof header, slot_file.get());
    (void)got;
    const ImageHeader h = decode_image_header(header);
    if (h.magic != DEBUGGER_MAGIC_APPLICATION && h.magic != DEBUGGER_MAGIC_DIAGNOSTICS) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return 0;
    }
    std::printf("Found GDB image %d of length = %u.\n", other_slot, h.len);

    // The compressed debugger always starts right after the 16-byte fixed
    // part, whatever the header's layout. Copy at most len bytes; a slot file
    // that ends early gives a short copy, which the unpack step then rejects.
    if (std::fseek(slot_file.get(), static_cast<long>(IMAGE_FIXED_HEADER_SIZE), SEEK_SET) == 0) {
        auto chunk = allocate_chunk();
        std::uint32_t left = h.len;
        while (chunk && left > 0) {
            const std::size_t want = std::min(left, RESCUE_COPY_CHUNK);
            const std::size_t n = std::fread(chunk.get(), 1, want, slot_file.get());
            if (n == 0 || std::fwrite(chunk.get(), 1, n, gz_file.get()) != n) break;
            left -= static_cast<std::uint32_t>(n);
        }
    }
    return 1;
}
