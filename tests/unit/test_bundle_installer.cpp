// Tests of the bundle installer on the simulated board: limits, extents, read-back, padding, slot files.
#include "image/bundle_installer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crc32_bitwise.hpp"
#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A sound sub-image of `total` bytes in layout 1, 2 or 3 (header length h).
Bytes image(std::uint32_t type, std::uint32_t total, int layout = 1, std::uint16_t h = 16) {
    Bytes b(total);
    for (std::uint32_t i = 0; i < total; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + type) % 251);
    if (layout == 3) store_be32(b.data() + 16, 0x48445233u);  // "HDR3"
    if (layout > 1) store_be16(b.data() + (layout == 2 ? 18 : 22), h);
    if (layout == 1 && total > 16) b[16] = 0;  // never "HDR3" by chance
    store_be32(b.data() + 4, total - (layout == 2 ? h : 16));
    store_be32(b.data() + 8, type | (layout == 2 ? IMAGE_EXTENDED_FLAG : 0));
    store_be32(b.data() + 12, 0x01020304);
    store_be32(b.data(), crc32_bitwise(b.data() + 4, b.size() - 4, 0xFFFFFFFFu));
    return b;
}

Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}
Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

const std::string BANNER = "\nExtracting images ... Do *NOT* power cycle the switch.\n";

class Installer : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/test_bundle_installer.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        fs::create_directory((dir_ = tmpl) / "flash");
        // A little over each type's limit, so that the limit decides.
        for (const auto& [name, size] : {std::pair{"uboot", 0x82000}, {"ubootenv", 0x4000}, {"devicetree", 0x41000},
                                         {"kernel", 0x301000}, {"rfs", 0xF01000}, {"rescue", 0xA01000}}) {
            std::ofstream(flash(name)).seekp(size - 1) << '\0';
        }
        set_slot_directory_for_testing((dir_ / "images").c_str());
        fresh();
    }
    void TearDown() override {
        close_i2c_buses();
        sim_board::reset();
        fs::remove_all(dir_);
    }
    // A board with these faults; the operator will answer 2 at the slot question.
    void fresh(const std::string& faults = "") {
        const sim_board::Config c{.flash_dir = dir_ / "flash", .erase_size = "4096",
                                  .slot_register = dir_ / "slot-register.bin", .bus_log = "", .time_scale = 0,
                                  .faults = faults};
        close_i2c_buses();
        ASSERT_TRUE(sim_board::configure(c));
        open_flash_partitions();
        ASSERT_EQ(open_i2c_buses(), 0);
        std::ofstream(dir_ / "answer") << "2\n";
        ASSERT_NE(std::freopen((dir_ / "answer").c_str(), "r", stdin), nullptr);
    }
    int install(const Bytes& bundle, const char* path = nullptr, bool skip_same = false) {
        std::ofstream(dir_ / "bundle", std::ios::binary) << std::string(bundle.begin(), bundle.end());
        testing::internal::CaptureStdout();
        const int result = install_bundle(path ? path : (dir_ / "bundle").c_str(), skip_same, 0);
        std::fflush(stdout);
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    fs::path flash(const std::string& name) const { return dir_ / "flash" / (name + ".bin"); }
    fs::path slot(int n) const { return dir_ / "images" / ("image" + std::to_string(n)); }
    bool untouched() const { return sim_board::flash_counts().erase + sim_board::flash_counts().write == 0; }

    fs::path dir_;
    std::string out_;
};

// Inclusive limits: the boot loader is measured by len (in layouts 2 and 3 the sub-image is longer),
// the others by the whole sub-image. One byte more is refused before the flash is touched.
TEST_F(Installer, SizeLimitOfEveryFlashTypeAtAndOneOver) {
    const struct { std::uint32_t type; int layout; std::uint16_t h; const char *part, *label; std::uint32_t limit; }
    types[] = {
        {IMAGE_TYPE_BOOTLOADER, 2, 256, "uboot", "Boot Loader: UBOOT", 0x80000},
        {IMAGE_TYPE_BOOTLOADER, 3, 64, "uboot", "Boot Loader: UBOOT", 0x80000},
        {IMAGE_TYPE_KERNEL, 1, 16, "kernel", "Kernel: KERNEL", 0x300000},
        {IMAGE_TYPE_ROOTFS, 1, 16, "rfs", "Root Filesystem: RFS", 0xF00000},
        {IMAGE_TYPE_DEVICETREE, 1, 16, "devicetree", "Device Tree: DFT", 0x40000},
        {IMAGE_TYPE_DIAGNOSTICS, 1, 16, "rescue", "Diagnostics: DIAGS", 0xA00000},
    };
    for (const auto& t : types) {
        const std::uint32_t skip = t.type == IMAGE_TYPE_BOOTLOADER ? t.h : 0;  // its header is not written
        for (const std::uint32_t size : {t.limit, t.limit + 1}) {
            SCOPED_TRACE(testing::Message() << t.label << " layout " << t.layout << " " << size);
            fresh();
            const Bytes img = image(t.type, size + (skip && t.layout == 3 ? 16 : skip), t.layout, t.h);
            ASSERT_EQ(install(img), size == t.limit ? 1 : 0) << out_;
            EXPECT_EQ(untouched(), size > t.limit);
            if (size == t.limit) {
                EXPECT_EQ(cut(read_file(flash(t.part)), img.size() - skip), Bytes(img.begin() + skip, img.end()));
            } else {
                EXPECT_EQ(out_, BANNER + "Installing " + t.label + " image is too big for flash (" +
                                    std::to_string(size) + " > " + std::to_string(t.limit) + ")\n");
            }
        }
    }
}

// `b` with a header field changed (32 or 16 bits) and its checksum made right.
Bytes with(Bytes b, std::size_t at, std::uint32_t v, bool wide = true) {
    wide ? store_be32(b.data() + at, v) : store_be16(b.data() + at, static_cast<std::uint16_t>(v));
    store_be32(b.data(), crc32_bitwise(b.data() + 4, b.size() - 4, 0xFFFFFFFFu));
    return b;
}

// Invalid or cut-short lengths of a known type are refused before anything is written; a flash write
// that stores nothing, or whose read-back (the 7th read) fails, is a write failure.
TEST_F(Installer, RefusedExtentsAndFlashReadBackMismatches) {
    const std::string bad = ": invalid header lengths, voiding download\n";
    const std::string cut_short = ": cut short by the end of the file, voiding download\n";
    const Bytes kernel = image(IMAGE_TYPE_KERNEL, 5 * 4096 + 100);
    struct { const char* faults; Bytes bundle; std::string tail; } const rows[] = {
        {"", with(image(IMAGE_TYPE_KERNEL, 4096, 3, 64), 22, 0x2000, false), "Kernel: Bad header for KERNEL" + bad},
        {"", with(image(IMAGE_TYPE_APPLICATION, 4096, 2, 64), 18, 8, false),
         "Application: Bad header for APPLICATION" + bad},
        {"", with(image(IMAGE_TYPE_ROOTFS, 4096, 2, 0xFFFF), 4, 0xFFFFFFF0u),
         "Root Filesystem: Bad header for RFS" + bad},
        {"", cut(image(IMAGE_TYPE_DEVICETREE, 8192), 5000), "Device Tree: Bad header for DFT" + cut_short},
        {"", cut(image(IMAGE_TYPE_APPLICATION, 70000), 69999),
         "Application: Bad header for APPLICATION" + cut_short},
        {"", with(image(IMAGE_TYPE_BOOTLOADER, 1024), 4, 0x7FFFFFF0u), "Boot Loader: Bad header for UBOOT" + cut_short},
        {"flash:kernel:lose:5", kernel, "100%\nkernel image update failed\n"},
        {"flash:kernel:read:7", kernel, "100%\nkernel image update failed\n"},
    };
    for (const auto& [faults, bundle, tail] : rows) {
        SCOPED_TRACE(tail);
        fresh(faults);
        ASSERT_EQ(install(bundle), 0) << out_;
        EXPECT_TRUE(out_ == BANNER + "Installing " + tail || (*faults && out_.ends_with(tail))) << out_;
        EXPECT_EQ(untouched(), !*faults);
        EXPECT_FALSE(fs::exists(slot(2)));
    }
}

// Unknown types are skipped by their length; one whose length passes the end of the file ends the walk,
// so the padding of a serial download does not spoil a bundle. The slot directory gets mode 0755.
TEST_F(Installer, UnknownTypesAndPaddingAfterTheLastSubImage) {
    const Bytes kernel = image(IMAGE_TYPE_KERNEL, 9001), app = image(IMAGE_TYPE_APPLICATION, 3001);
    const Bytes unknown = image(0x7F4F5249, 300), unknown3 = image(0x004F5249, 5000, 3, 40);
    const mode_t mask = umask(0);
    for (const auto& [count, byte] : {std::pair{1023, 0x1A}, {24, 0x1A}, {23, 0x1A}, {1000, 0x00}}) {
        SCOPED_TRACE(count);
        fresh();
        Bytes bundle;
        for (const Bytes* p : {&unknown, &kernel, &unknown3, &app}) bundle.insert(bundle.end(), p->begin(), p->end());
        bundle.insert(bundle.end(), count, static_cast<std::uint8_t>(byte));
        EXPECT_EQ(install(bundle), 1) << out_;
        EXPECT_EQ(cut(read_file(flash("kernel")), kernel.size()), kernel);
        EXPECT_EQ(read_file(slot(2)), app);
        EXPECT_TRUE(out_.ends_with("100%\n\nImage2 updated succeeded\nFile processed\n")) << out_;
    }
    umask(mask);
    EXPECT_EQ(fs::status(dir_ / "images").permissions(), fs::perms(0755));
}

TEST_F(Installer, BundleOrSlotFileThatCannotBeOpened) {
    ASSERT_EQ(install({}, "/nonexistent/bundle"), 0);
    EXPECT_EQ(out_, "Can't open image file /nonexistent/bundle\n");
    fs::create_directories(slot(2));  // a directory where the slot file goes
    ASSERT_EQ(install(image(IMAGE_TYPE_APPLICATION, 2000)), 0);
    EXPECT_TRUE(out_.ends_with("Installing image as image2: Image2 update failed (err 21)\n")) << out_;
}

// The same-version test finds the slot file where the installer keeps it: a second copy in the
// same bundle, or a slot that already holds the image, is left alone.
TEST_F(Installer, SameVersionApplicationIsSkipped) {
    const Bytes app = image(IMAGE_TYPE_APPLICATION, 3000);
    Bytes twice = app;
    twice.insert(twice.end(), app.begin(), app.end());
    ASSERT_EQ(install(twice, nullptr, true), 1) << out_;
    EXPECT_NE(out_.find("Image2 has same version as existing image. Skipping update...\n"), std::string::npos) << out_;
    fresh();
    ASSERT_EQ(install(app, nullptr, true), 0) << out_;
    EXPECT_EQ(read_file(slot(2)), app);
}

}  // namespace
