// The bundle installer on the simulated board: limits, extents, read-back, padding, slot files.
#include "image/bundle_installer.hpp"

#include "image/crc32_bitwise.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using unit::Bytes, unit::operator+;

// A sound sub-image of `total` bytes in layout 1, 2 or 3 (header length h), its CRC from the definition.
Bytes image(std::uint32_t type, std::uint32_t total, int layout = 1, std::uint16_t h = 16) {
    Bytes b = unit::header(type, total - (layout == 2 ? h : 16), layout, h) + unit::pattern(total - 24, type);
    store_be32(b.data(), crc32_bitwise(&b[4], total - 4, IMAGE_CRC_INIT));
    return b;
}

Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

const std::string INSTALLING = "\nExtracting images ... Do *NOT* power cycle the switch.\nInstalling ";
const std::string QUESTION = "Install image as image 1 or 2 (hit return to just boot image): ";

class Installer : public testing::Test {
protected:
    void SetUp() override {
        board_.config.erase_size = "4096";
        for (const auto& [name, size] : {std::pair{"uboot", 0x82000}, {"ubootenv", 0x4000}, {"devicetree", 0x41000},
                                         {"kernel", 0x301000}, {"rfs", 0xF01000}, {"rescue", 0xA01000}}) {
            std::ofstream{board_.partition_file(name)};
            fs::resize_file(board_.partition_file(name), size);  // a little over each limit
        }
        set_slot_directory_for_testing(board_.dir.file("images").c_str());
        fresh();
    }
    void TearDown() override { close_i2c_buses(); }
    // The board with these faults, its flash counts at zero.
    void fresh(const char* faults = "") {
        board_.config.faults = faults;
        close_i2c_buses();
        board_.apply();
        open_flash_partitions();
        ASSERT_EQ(open_i2c_buses(), 0);
    }
    // Installs `bundle` from a file, the operator answering `answer` at the slot question.
    int install(const Bytes& bundle, const std::string& answer = "2\n", bool skip_same = false) {
        unit::write_file(board_.dir.file("bundle"), bundle);
        unit::Console console(answer);
        const int result = install_bundle(board_.dir.file("bundle").c_str(), skip_same, 0);
        out_ = console.finish().out;
        return result;
    }
    std::string slot(int n) const { return board_.dir.file("images/image" + std::to_string(n)); }
    static bool untouched() { return sim_board::flash_counts().erase + sim_board::flash_counts().write == 0; }

    unit::Board board_;
    std::string out_;
};

// Inclusive limits: the boot loader's len (its sub-image is longer), the others' whole sub-image.
TEST_F(Installer, SizeLimitOfEveryFlashTypeAtAndOneOver) {
    const struct { std::uint32_t type; int layout, h; const char *part, *label; std::uint32_t limit; } types[] = {
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
            const Bytes img = image(t.type, size + (skip && t.layout == 3 ? 16 : skip), t.layout, std::uint16_t(t.h));
            ASSERT_EQ(install(img), size == t.limit) << out_;
            EXPECT_EQ(untouched(), size > t.limit);
            if (size == t.limit) {
                EXPECT_TRUE(cut(board_.partition(t.part), img.size() - skip) == Bytes(img.begin() + skip, img.end()));
            } else {
                EXPECT_EQ(out_, INSTALLING + t.label + " image is too big for flash (" + std::to_string(size) +
                                    " > " + std::to_string(t.limit) + ")\n");
            }
        }
    }
}

// Bad or cut-short lengths, or a partition too small (the flash layer's cause first), are refused before any
// write; a lost write or a failed read-back (7th read) fails.
TEST_F(Installer, RefusedExtentsAndFlashReadBackMismatches) {
    const std::string bad = ": invalid header lengths, voiding download\n";
    const std::string cut_short = ": cut short by the end of the file, voiding download\n";
    const std::string failed = "100%\nkernel image update failed\n";
    const struct { const char* faults; Bytes bundle; std::string tail; std::uint32_t kernel_size = 0x301000; } rows[] = {
        {"", unit::resealed(image(IMAGE_TYPE_KERNEL, 4096, 3, 64), 20, 0x2000), "Kernel: Bad header for KERNEL" + bad},
        {"", unit::resealed(image(IMAGE_TYPE_APPLICATION, 4096, 2, 64), 16, 8),
         "Application: Bad header for APPLICATION" + bad},
        {"", unit::resealed(image(IMAGE_TYPE_ROOTFS, 64, 2, 0xFFFF), 4, 0xFFFFFFF0),
         "Root Filesystem: Bad header for RFS" + bad},
        {"", cut(image(IMAGE_TYPE_DEVICETREE, 8192), 5000), "Device Tree: Bad header for DFT" + cut_short},
        {"", cut(image(IMAGE_TYPE_APPLICATION, 70000), 69999), "Application: Bad header for APPLICATION" + cut_short},
        {"", unit::resealed(image(IMAGE_TYPE_BOOTLOADER, 1024), 4, 0x7FFFFFF0u),
         "Boot Loader: Bad header for UBOOT" + cut_short},
        {"flash:kernel:lose:5", image(IMAGE_TYPE_KERNEL, 5 * 4096 + 100), failed},
        {"flash:kernel:read:7", image(IMAGE_TYPE_KERNEL, 5 * 4096 + 100), failed},
        {"", image(IMAGE_TYPE_KERNEL, 2 * 4096 + 1),
         "Kernel: Flash Write range past end of partition.\nkernel image update failed\n", 2 * 4096},
    };
    for (const auto& [faults, bundle, tail, kernel_size] : rows) {
        SCOPED_TRACE(tail);
        fs::resize_file(board_.partition_file("kernel"), kernel_size);
        fresh(faults);
        ASSERT_EQ(install(bundle), 0) << out_;
        EXPECT_TRUE(*faults ? out_.ends_with(tail) : out_ == INSTALLING + tail) << out_;
        EXPECT_EQ(untouched(), !*faults);
        EXPECT_FALSE(fs::exists(slot(2)));
    }
}

// Unknown types are skipped by len. Serial-download padding after the last sub-image (it reads as cut short)
// ends the walk; an unknown type whose lengths are invalid voids the download. One slot question in a bundle:
// its first character decides, and a second application replaces the first. Slot files: 0755.
TEST_F(Installer, WhatFollowsAnApplication) {
    const Bytes kernel = image(IMAGE_TYPE_KERNEL, 9001), app = image(IMAGE_TYPE_APPLICATION, 3001);
    const Bytes unknown = image(0x7F4F5249, 300), unknown3 = image(0x004F5249, 5000, 3, 40);
    const Bytes second = unit::resealed(app, 12, 0x01020305);
    const std::string done = "100%\n\nImage2 updated succeeded\n", processed = "File processed\n";
    const struct { Bytes after; std::string answer; int result; Bytes in_slot; std::string ending; } rows[] = {
        {Bytes(1023, 0x1A), "2\n", 1, app, done + processed},
        {Bytes(24, 0x1A), "2\n", 1, app, done + processed},
        {Bytes(23, 0x1A), "2\n", 1, app, done + processed},
        {Bytes(1000, 0x00), "2abc\n", 1, app, done + processed},
        {second, "2\n", 1, second, done + "Installing Application: Installing image as image2:     \b\b\b\b100%\b\b\b\b" + done + processed},
        {unit::resealed(image(0x004F5249, 300, 3, 64), 4, 8) + kernel, "2\n", 0, app,
         done + "Bad header for type 0x004f5249: invalid header lengths, voiding download\n"},
    };
    const mode_t mask = umask(0);
    for (const auto& [after, answer, result, in_slot, ending] : rows) {
        SCOPED_TRACE(ending);
        fresh();
        EXPECT_EQ(install(unknown + kernel + unknown3 + app + after, answer), result) << out_;
        EXPECT_TRUE(cut(board_.partition("kernel"), kernel.size()) == kernel);
        EXPECT_TRUE(unit::read_file(slot(2)) == in_slot);
        EXPECT_TRUE(out_.ends_with(ending)) << out_;
        EXPECT_EQ(out_.find(QUESTION), out_.rfind(QUESTION));
    }
    umask(mask);
    EXPECT_EQ(fs::status(board_.dir.file("images")).permissions(), fs::perms(0755));
}

TEST_F(Installer, BundleOrSlotFileThatCannotBeOpened) {
    unit::Console console;
    EXPECT_EQ(install_bundle("/nonexistent/bundle", false, 0), 0);
    EXPECT_EQ(console.finish().out, "Can't open image file /nonexistent/bundle\n");
    fs::create_directories(slot(2));  // a directory where the slot file goes
    EXPECT_EQ(install(image(IMAGE_TYPE_APPLICATION, 2000)), 0);
    EXPECT_TRUE(out_.ends_with("Installing image as image2: Image2 update failed (err 21)\n")) << out_;
}

// A second copy in the same bundle, or a slot that already holds the image, is left alone.
TEST_F(Installer, SameVersionApplicationIsSkipped) {
    const Bytes app = image(IMAGE_TYPE_APPLICATION, 3000);
    EXPECT_EQ(install(app + app, "2\n", true), 1);
    EXPECT_NE(out_.find("Image2 has same version as existing image. Skipping update...\n"), std::string::npos) << out_;
    fresh();
    EXPECT_EQ(install(app, "2\n", true), 0);
    EXPECT_TRUE(unit::read_file(slot(2)) == app);
}

}  // namespace
