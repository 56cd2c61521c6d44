// Fuzz target: the boot walk and the verified payload copy over arbitrary slot files.
#include "boot/boot_walk.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* slot = fuzz::mem_file(fuzz::text(data, size));
    std::FILE* archive = fuzz::mem_file("");
    const BootWalk walk = find_boot_subimage(slot);
    if (walk.found()) {
        const std::size_t at = walk.offset;
        const SubImageExtent e = check_subimage_extent(data + at, size - at);
        FUZZ_CHECK(e.status == ExtentStatus::ok);
        FUZZ_CHECK(e.type == IMAGE_TYPE_APPLICATION || e.type == IMAGE_TYPE_DIAGNOSTICS);
        FUZZ_CHECK(std::ftell(slot) == long(at));
        const std::uint32_t crc = image_crc32(data + at + 4, e.total_length - 4, IMAGE_CRC_INIT);
        const bool sound = crc == load_be32(data + at);
        FUZZ_CHECK(copy_verified_payload(slot, e.header_length, e.payload_length, walk.stored_crc,
                                         archive) == sound);
        const std::string payload = fuzz::text(data + at + e.header_length, e.payload_length);
        FUZZ_CHECK(fuzz::contents(archive) == (sound ? payload : ""));
    }
    std::fclose(slot);
    std::fclose(archive);
    return 0;
}
