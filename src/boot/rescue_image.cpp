// Bounded-memory reading behind the rescue-partition boot: the check-and-stream
// of the rescue sub-image and the copy of the debugger out of a slot file.
#include "boot/rescue_image.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/unique_file.hpp"

namespace {

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

// Reads bytes [0, total) of `source`, computes the CRC-32 of bytes [4, total)
// and writes bytes [skip, total) to `out`. True when every read and write
// succeeded and the CRC equals `expected_crc`.
bool pass_over_subimage(const ImageSource& source, std::uint32_t total, std::uint32_t skip,
                        std::FILE* out, std::uint32_t expected_crc) {
    if (total > source.size) return false;
    const StreamResult result =
        stream_image(source.read, {0, total}, {write_to_file(out), skip}, StreamBuffer());
    return result.sound(expected_crc) && std::fflush(out) == 0;
}

bool is_rescue_type(std::uint32_t type) {
    return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGNOSTICS;
}

// The first bytes of the source (fewer when it is smaller), zero-filled.
bool read_probe(const ImageSource& source, std::uint8_t (&probe)[IMAGE_PROBE_SIZE]) {
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(IMAGE_PROBE_SIZE, source.size));
    return length == 0 || source.read(0, std::span<std::uint8_t>(probe, length));
}

}  // namespace

std::optional<ImageSource> flash_image_source(FlashPartition partition) {
    const int handle = flash_handle(partition);
    FlashGeometry geometry{};
    if (flash_get_geometry(handle, &geometry) != 1) return std::nullopt;
    return ImageSource{read_from_flash(handle), geometry.total_size};
}

RescueImage stream_rescue_image(const ImageSource& source, std::FILE* payload_out) {
    RescueImage image{RescueImageStatus::corrupt, 0, 0, 0, 0};
    std::uint8_t probe[IMAGE_PROBE_SIZE] = {};
    if (!read_probe(source, probe)) {
        empty_output(payload_out);
        return image;
    }
    const SubImageExtent extent = check_subimage_extent(probe, source.size);
    image.type = extent.type;
    image.header_length = extent.header_length;
    image.payload_length = extent.payload_length;
    if (!is_rescue_type(extent.type)) image.status = RescueImageStatus::not_found;
    if (!is_rescue_type(extent.type) || extent.status != ExtentStatus::ok) {
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

bool copy_rescue_image(const ImageSource& source, const RescueImage& image, std::FILE* out) {
    if (image.status != RescueImageStatus::sound) return false;
    // The crc word is read again with the rest, so the copy is checked against
    // what it holds rather than against the first pass.
    std::uint8_t crc_word[4] = {};
    if (image.total_length < 4 || !source.read(0, crc_word)) return false;
    return pass_over_subimage(source, image.total_length, 0, out, load_be32(crc_word));
}

bool copy_debugger_image(const char* slot_path, const char* gz_path, int other_slot) {
    UniqueFile slot_file(std::fopen(slot_path, "rb"));
    if (!slot_file) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other_slot);
        return false;
    }
    UniqueFile gz_file(std::fopen(gz_path, "wb"));
    if (!gz_file) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return false;
    }
    // A file shorter than the header leaves the missing bytes zero, which no
    // accepted magic word matches.
    std::uint8_t header[IMAGE_FIXED_HEADER_SIZE] = {};
    const std::size_t got = std::fread(header, 1, sizeof header, slot_file.get());
    const ImageHeader h = decode_image_header(header);
    if (h.magic != DEBUGGER_MAGIC_APPLICATION && h.magic != DEBUGGER_MAGIC_DIAGNOSTICS) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return false;
    }
    std::printf("Found GDB image %d of length = %u.\n", other_slot, h.len);

    // The compressed debugger always starts right after the 16-byte fixed
    // part, whatever the header's layout. Copy at most len bytes; a slot file
    // that ends early gives a short copy, which the unpack step then rejects.
    struct stat st {};
    if (got == IMAGE_FIXED_HEADER_SIZE && fstat(fileno(slot_file.get()), &st) == 0) {
        const std::uint64_t after_header =
            static_cast<std::uint64_t>(st.st_size) - IMAGE_FIXED_HEADER_SIZE;
        const auto length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(h.len, after_header));
        stream_image(read_from_file(slot_file.get()), {IMAGE_FIXED_HEADER_SIZE, length},
                     {write_to_file(gz_file.get()), 0}, StreamBuffer());
    }
    return true;
}
