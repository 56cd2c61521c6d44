// Tests of the bundle installer on the simulated board: limits, extents, read-back, padding, slot files.
#include "image/bundle_installer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/byte_order.hpp"
#include "image/crc32_bitwise.hpp"
#include "image/image_header.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/switch_paths.hpp"
#include "rescue/install_download.hpp"
#include "sim_test_support.hpp"

namespace {

namespace fs = std::filesystem;
using sim_test::Bytes;

// `b` with the 32-bit word at `at` set to `v` and its checksum made right.
Bytes with(Bytes b, std::size_t at, std::uint32_t v) {
    store_be32(b.data() + at, v);
    store_be32(b.data(), crc32_bitwise(b.data() + 4, b.size() - 4, 0xFFFFFFFFu));
    return b;
}

// A sound sub-image of `total` bytes in layout 1, 2 or 3 (header length h).
Bytes image(std::uint32_t type, std::uint32_t total, int layout = 1, std::uint16_t h = 16) {
    Bytes b(total);
    for (std::uint32_t i = 0; i < total; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + type) % 251);
    if (layout == 3) store_be32(b.data() + 16, 0x48445233u);  // "HDR3"
    if (layout > 1) store_be16(b.data() + (layout == 2 ? 18 : 22), h);
    store_be32(b.data() + 8, type | (layout == 2 ? IMAGE_EXTENDED_FLAG : 0));
    store_be32(b.data() + 12, 0x01020304);
    return with(b, 4, total - (layout == 2 ? h : 16));
}

Bytes cut(Bytes b, std::size_t n) { b.resize(n); return b; }
Bytes operator+(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }

const std::string INSTALLING = "\nExtracting images ... Do *NOT* power cycle the switch.\nInstalling ";

class Installer : public testing::Test {
protected:
    void SetUp() override {
        board_.config.erase_size = "4096";
        for (const auto& [name, size] : {std::pair{"uboot", 0x82000}, {"ubootenv", 0x4000}, {"devicetree", 0x41000},
                                         {"kernel", 0x301000}, {"rfs", 0xF01000}, {"rescue", 0xA01000}})
            std::ofstream(board_.partition_file(name)).seekp(size - 1) << '\0';  // a little over each limit
        set_path_root_for_testing(board_.dir.dir);  // the slot files go to its user/images
        fs::create_directory(board_.dir.file("user"));
        fresh();
    }
    void TearDown() override {
        close_i2c_buses();
        set_path_root_for_testing("");
    }
    // A board with these faults; the operator will answer 2 at the slot question.
    void fresh(const char* faults = "") {
        board_.config.faults = faults;
        close_i2c_buses();
        ASSERT_TRUE(board_.apply());
        open_flash_partitions();
        ASSERT_EQ(open_i2c_buses(), 0);
        std::ofstream(board_.dir.file("answer")) << "2\n";
        ASSERT_NE(std::freopen(board_.dir.file("answer").c_str(), "r", stdin), nullptr);
    }
    // 1 when installed, 0 when not; a direct boot would be an error here.
    int install(const Bytes& bundle, const char* path = nullptr, bool skip_same = false) {
        sim_test::write_file(board_.dir.file("bundle"), bundle);
        sim_test::StdoutCapture capture;
        const InstallOutcome outcome =
            install_bundle(path ? path : board_.dir.file("bundle").c_str(), skip_same, 0, ask_install_slot);
        out_ = capture.finish();
        EXPECT_NE(outcome, InstallOutcome::boot_download);
        return outcome == InstallOutcome::installed ? 1 : 0;
    }
    std::string slot(int n) const { return board_.dir.file("user/images/image" + std::to_string(n)); }
    bool untouched() const { return sim_board::flash_counts().erase + sim_board::flash_counts().write == 0; }

    sim_test::Board board_;
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
            ASSERT_EQ(install(img), size == t.limit ? 1 : 0) << out_;
            EXPECT_EQ(untouched(), size > t.limit);
            if (size == t.limit)
                EXPECT_EQ(cut(board_.partition(t.part), img.size() - skip), Bytes(img.begin() + skip, img.end()));
            else
                EXPECT_EQ(out_, INSTALLING + t.label + " image is too big for flash (" +
                                    std::to_string(size) + " > " + std::to_string(t.limit) + ")\n");
        }
    }
}

// Bad or cut-short lengths, or a partition too small (the flash layer's cause first), are refused before any
// write; a lost write or a failed read-back (7th read) fails.
TEST_F(Installer, RefusedExtentsAndFlashReadBackMismatches) {
    const std::string bad = ": invalid header lengths, voiding download\n";
    const std::string cut_short = ": cut short by the end of the file, voiding download\n";
    struct { const char* faults; Bytes bundle; std::string tail; std::uint32_t kernel_size = 0x301000; } const rows[] = {
        {"", with(image(IMAGE_TYPE_KERNEL, 4096, 3, 64), 20, 0x2000), "Kernel: Bad header for KERNEL" + bad},
        {"", with(image(IMAGE_TYPE_APPLICATION, 4096, 2, 64), 16, 8), "Application: Bad header for APPLICATION" + bad},
        {"", with(image(IMAGE_TYPE_ROOTFS, 64, 2, 0xFFFF), 4, 0xFFFFFFF0), "Root Filesystem: Bad header for RFS" + bad},
        {"", cut(image(IMAGE_TYPE_DEVICETREE, 8192), 5000), "Device Tree: Bad header for DFT" + cut_short},
        {"", cut(image(IMAGE_TYPE_APPLICATION, 70000), 69999), "Application: Bad header for APPLICATION" + cut_short},
        {"", with(image(IMAGE_TYPE_BOOTLOADER, 1024), 4, 0x7FFFFFF0u), "Boot Loader: Bad header for UBOOT" + cut_short},
        {"flash:kernel:lose:5", image(IMAGE_TYPE_KERNEL, 5 * 4096 + 100), "100%\nkernel image update failed\n"},
        {"flash:kernel:read:7", image(IMAGE_TYPE_KERNEL, 5 * 4096 + 100), "100%\nkernel image update failed\n"},
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

// Unknown types are skipped by len; serial-download padding after the last sub-image (it reads as cut short)
// ends the walk; an unknown type whose lengths are invalid voids the download. Slots: 0755.
TEST_F(Installer, UnknownTypesAndPaddingAfterTheLastSubImage) {
    const Bytes kernel = image(IMAGE_TYPE_KERNEL, 9001), app = image(IMAGE_TYPE_APPLICATION, 3001);
    const Bytes unknown = image(0x7F4F5249, 300), unknown3 = image(0x004F5249, 5000, 3, 40);
    const std::string done = "100%\n\nImage2 updated succeeded\n";
    const struct { Bytes after; int result; std::string ending; } rows[] = {
        {Bytes(1023, 0x1A), 1, done + "File processed\n"}, {Bytes(24, 0x1A), 1, done + "File processed\n"},
        {Bytes(23, 0x1A), 1, done + "File processed\n"}, {Bytes(1000, 0x00), 1, done + "File processed\n"},
        {with(image(0x004F5249, 300, 3, 64), 4, 8) + kernel, 0,
         done + "Bad header for type 0x004f5249: invalid header lengths, voiding download\n"},
    };
    const mode_t mask = umask(0);
    for (const auto& [after, result, ending] : rows) {
        SCOPED_TRACE(ending);
        fresh();
        EXPECT_EQ(install(unknown + kernel + unknown3 + app + after), result) << out_;
        EXPECT_EQ(cut(board_.partition("kernel"), kernel.size()), kernel);
        EXPECT_EQ(sim_test::read_file(slot(2)), app);
        EXPECT_TRUE(out_.ends_with(ending)) << out_;
    }
    umask(mask);
    EXPECT_EQ(fs::status(board_.dir.file("user/images")).permissions(), fs::perms(0755));
}

TEST_F(Installer, BundleOrSlotFileThatCannotBeOpened) {
    ASSERT_EQ(install({}, "/nonexistent/bundle"), 0);
    EXPECT_EQ(out_, "Can't open image file /nonexistent/bundle\n");
    fs::create_directories(slot(2));  // a directory where the slot file goes
    ASSERT_EQ(install(image(IMAGE_TYPE_APPLICATION, 2000)), 0);
    EXPECT_TRUE(out_.ends_with("Installing image as image2: Image2 update failed (err 21)\n")) << out_;
}

// A second copy in the same bundle, or a slot that already holds the image, is left alone (a regression).
TEST_F(Installer, SameVersionApplicationIsSkipped) {
    const Bytes app = image(IMAGE_TYPE_APPLICATION, 3000);
    ASSERT_EQ(install(app + app, nullptr, true), 1) << out_;
    EXPECT_NE(out_.find("Image2 has same version as existing image. Skipping update...\n"), std::string::npos) << out_;
    fresh();
    ASSERT_EQ(install(app, nullptr, true), 0) << out_;
    EXPECT_EQ(sim_test::read_file(slot(2)), app);
}

}  // namespace
