// Fuzz target: the walk for the bootable sub-image and the verified payload copy over arbitrary slot files.
// A walk that finds one leaves the file at a bootable sub-image with a sound extent; the copy of it succeeds
// exactly when its CRC matches, and then the archive holds exactly the payload, else nothing.
#include "boot/boot_walk.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE *slot = fuzz::mem_file(fuzz::text(data, size)), *archive = fuzz::mem_file("");
    std::uint32_t type = 0, h = 0, p = 0;
    std::uint8_t layout = 0, header[16] = {};
    BootWalkInfo walk{};
    const int found = find_boot_subimage(slot, &type, &layout, &h, &p, header, &walk);
    FUZZ_CHECK(walk.offset == 0 || walk.offset + IMAGE_PROBE_SIZE <= size);
    if (found) {
        const std::size_t at = walk.offset;
        const SubImageExtent e = check_subimage_extent(data + at, size - at);
        FUZZ_CHECK(e.status == ExtentStatus::ok);
        FUZZ_CHECK(e.type == IMAGE_TYPE_APPLICATION || e.type == IMAGE_TYPE_DIAGNOSTICS);
        FUZZ_CHECK(std::ftell(slot) == long(at));
        const bool sound = image_crc32(data + at + 4, e.total_length - 4, IMAGE_CRC_INIT) == load_be32(data + at);
        FUZZ_CHECK(copy_verified_payload(slot, h, p, load_be32(header), archive) == sound);
        FUZZ_CHECK(fuzz::contents(archive) == (sound ? fuzz::text(data + at + h, p) : ""));
    }
    std::fclose(slot);
    std::fclose(archive);
    return 0;
}
