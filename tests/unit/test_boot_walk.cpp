// The walk over crafted slot files for the bootable sub-image, and the verified payload copy.
#include "boot/boot_walk.hpp"

#include <cstring>

#include "test_support.hpp"

namespace {

using namespace unit;
constexpr std::uint32_t APP = IMAGE_TYPE_APPLICATION, DIAG = IMAGE_TYPE_DIAGNOSTICS, KERNEL = IMAGE_TYPE_KERNEL;

TEST(FindBootSubimage, WalksByTheExtentOfEachHeader) {
    using enum BootWalkEnd;
    const Bytes kernel = subimage(KERNEL, pattern(100, 1));  // 116 bytes
    const Bytes app2 = subimage(APP, pattern(50, 2), 2, 32), app3 = subimage(APP, pattern(70, 3), 3, 40);
    const Bytes unknown = subimage(0x12345678, pattern(9, 5)), rootfs = subimage(IMAGE_TYPE_ROOTFS, {}, 3, 24);
    // How the walk ends, the type of the last header examined; where a sub-image is found, its lengths.
    const struct { const char* name; Bytes file; BootWalkEnd end; std::uint32_t type, at = 0, h = 0, p = 0; } cases[] = {
        {"kernel then application", kernel + app2, found, APP, 116, 32, 50},
        {"diagnostics first", subimage(DIAG, pattern(30, 4), 3, 40) + app2, found, DIAG, 0, 40, 30},
        {"other types skipped", unknown + rootfs + kernel + app2, found, APP, 25 + 24 + 116, 32, 50},
        {"empty file", {}, end_of_file, 0},
        {"no bootable type", kernel + unknown + rootfs, end_of_file, IMAGE_TYPE_ROOTFS},
        {"under 24 bytes after a kernel", kernel + subimage(APP, {1, 2}), end_of_file, KERNEL},
        {"erased flash", Bytes(64, 0xFF), bad_header, 0x7FFFFFFF},
        // A bootable header with unusable lengths: the caller treats it as a failed checksum.
        {"layout 2, h under 16", header(APP, 100, 2, 8), bad_bootable, APP},
        {"layout 3, h over len + 16", header(DIAG, 0x10, 3, 0x40), bad_bootable, DIAG},
        {"layout 1, len wraps", header(APP, 0xFFFFFFF8), bad_bootable, APP},
        {"ends a byte into an application", kernel + Bytes(app3.begin(), app3.end() - 1), bad_bootable, APP},
        // Any other header with unusable lengths ends the walk there.
        {"kernel of length 0", header(KERNEL, 0, 2, 0) + app2, bad_header, KERNEL},
        {"kernel len wraps to itself", header(KERNEL, 0xFFFFFFF0) + app2, bad_header, KERNEL},
        {"kernel past the end", header(KERNEL, 4096) + app2, end_of_file, KERNEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueFile f = file_with(c.file);
        std::uint32_t type = 0, h = 0, p = 0;
        std::uint8_t layout = 0, hdr[16] = {};
        BootWalkInfo walk{};
        const int found_it = find_boot_subimage(f.get(), &type, &layout, &h, &p, hdr, &walk);
        EXPECT_EQ(walk.end, c.end);
        EXPECT_EQ(walk.last_type, c.type);
        EXPECT_EQ(found_it, c.end == found);
        if (c.end != found) continue;
        EXPECT_EQ(ftello(f.get()), off_t(c.at));
        EXPECT_EQ(h, c.h);
        EXPECT_EQ(p, c.p);
        EXPECT_EQ(std::memcmp(hdr, &c.file[c.at], 16), 0);
    }
}

// Sizes around the chunk and header lengths that split one; every fault leaves
// the archive empty, though most of the payload was already written.
TEST(CopyVerifiedPayload, WritesExactlyThePayloadOrLeavesTheArchiveEmpty) {
    constexpr std::size_t P = 3 * BOOT_COPY_CHUNK + 17;
    const struct { int layout; std::uint16_t h; std::size_t p, flip = 0, cut = 0; std::uint32_t crc_xor = 0; } cases[] = {
        {1, 16, 0},
        {1, 16, BOOT_COPY_CHUNK - 16},
        {3, 0xFFFF, 2 * BOOT_COPY_CHUNK + 5},
        {2, 4097, P},
        {2, 4097, P, 4097 + P - 1},  // the last payload byte changed
        {2, 4097, P, 4},             // the first byte after the CRC word changed
        {2, 4097, P, 0, 1},          // the file ends in the payload
        {2, 4097, P, 0, P + 100},    // the file ends in the header
        {2, 4097, P, 0, 0, 1},       // another CRC expected
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.p << " flip " << c.flip << " cut " << c.cut << " xor " << c.crc_xor);
        const Bytes payload = pattern(c.p, 9), lead = subimage(KERNEL, pattern(33, 1));
        Bytes img = subimage(APP, payload, c.layout, c.h);
        const std::uint32_t crc = load_be32(img.data()) ^ c.crc_xor;
        img[c.flip] ^= c.flip != 0 ? 0x80 : 0;
        img.resize(img.size() - c.cut);
        UniqueFile in = file_with(lead + img), out(std::tmpfile());  // a buffered archive
        ASSERT_EQ(fseeko(in.get(), off_t(lead.size()), SEEK_SET), 0);
        const bool sound = c.flip == 0 && c.cut == 0 && c.crc_xor == 0;
        EXPECT_EQ(copy_verified_payload(in.get(), c.h, std::uint32_t(c.p), crc, out.get()), sound);
        EXPECT_TRUE(contents(out.get()) == (sound ? payload : Bytes{}));  // (not printed: megabytes)
        if (sound) {
            EXPECT_EQ(ftello(in.get()), off_t(lead.size() + img.size()));
        }
    }
}

}  // namespace
