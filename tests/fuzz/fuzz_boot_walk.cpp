// Fuzz target: the extent check, the walk for the bootable sub-image and the
// verified payload copy into the archive, over arbitrary slot files.
#include "boot/boot_walk.hpp"
#include "fuzz_support.hpp"

static bool bootable(std::uint32_t type) { return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGNOSTICS; }

// The copy of h + p bytes from `start`: 1 and the payload only when all are there with crc `crc`, else 0 and nothing.
static void check_copy(const std::uint8_t* data, std::size_t size, std::size_t start, std::uint32_t h,
                       std::uint32_t p, std::uint32_t crc) {
    std::FILE *image = fuzz::mem_file(fuzz::text(data, size)), *archive = fuzz::mem_file("");
    FUZZ_CHECK(std::fseek(image, static_cast<long>(start), SEEK_SET) == 0);
    const int result = copy_verified_payload(image, h, p, crc, archive);
    const std::string written = fuzz::contents(archive);
    std::fclose(archive), std::fclose(image);
    const std::uint64_t n = std::uint64_t{h} + p;
    const bool ok = n >= 4 && start + n <= size && image_crc32(data + start + 4, n - 4, IMAGE_CRC_INIT) == crc;
    FUZZ_CHECK(result == ok && written == (ok ? fuzz::text(data + start + h, p) : ""));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using enum ExtentStatus;
    for (std::size_t at = 0; at + IMAGE_PROBE_SIZE <= size; at += 4) {  // valid lengths add up, ok when they fit
        const SubImageExtent e = check_subimage_extent(data + at, size - at);
        const bool sums = e.header_length > 15 && e.total_length == std::uint64_t{e.header_length} + e.payload_length;
        FUZZ_CHECK(e.status == invalid ||
                   (sums && e.total_length <= UINT32_MAX && (e.status == ok) == (e.total_length <= size - at)));
    }
    const std::uint8_t* t = data + size - std::min<std::size_t>(size, 13);  // a copy meant to run past the end
    if (size >= 13) check_copy(data, size, t[0] % (size + 1), load_be32(t + 1), t[5] << 8 | t[6], load_be32(t + 9));

    // The walk ends at a header inside the file, reached through sound extents of other types.
    std::FILE* slot = fuzz::mem_file(fuzz::text(data, size));
    const BootWalk walk = find_boot_subimage(slot);
    const bool found = walk.found();
    const long position = std::ftell(slot);
    std::fclose(slot);
    FUZZ_CHECK(walk.offset == 0 || walk.offset + IMAGE_PROBE_SIZE <= size);
    std::uint64_t at = 0;
    for (SubImageExtent e{}; at < walk.offset; at += e.total_length)
        FUZZ_CHECK((e = check_subimage_extent(data + at, size - at)).status == ok && !bootable(e.type));
    FUZZ_CHECK(at == walk.offset);
    if (walk.end == BootWalkEnd::end_of_file) return 0;
    const SubImageExtent e = check_subimage_extent(data + at, size - at);  // and says why it ended there
    FUZZ_CHECK(walk.extent.type == e.type && walk.extent.layout == e.layout && found == (e.status == ok));
    const bool boot_type = bootable(e.type);
    FUZZ_CHECK(boot_type == (walk.end != BootWalkEnd::bad_header) && (boot_type || e.status == invalid));
    if (!found) return 0;
    FUZZ_CHECK(walk.extent.header_length == e.header_length && walk.extent.payload_length == e.payload_length &&
               position == static_cast<long>(at) && walk.stored_crc == load_be32(data + at));
    check_copy(data, size, at, e.header_length, e.payload_length, walk.stored_crc);  // what the slot boot does next
    return 0;
}
