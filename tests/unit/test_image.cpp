// image/: the CRC, the extent check, the installer's decisions, the installer on the board.
#include <cstring>
#include <random>

#include "image/bundle_installer.hpp"
#include "image/crc32_bitwise.hpp"
#include "image/install_plan.hpp"
#include "image/installed_headers.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace unit;

// The common CRC-32 of "123456789", not inverted at the end.
TEST(ImageCrc32, CheckValueAndMismatch) {
    const auto* b = reinterpret_cast<const std::uint8_t*>("123456789");
    constexpr std::uint32_t check = ~0xCBF43926u;
    EXPECT_EQ(image_crc32(b, 9, IMAGE_CRC_INIT), check);
    EXPECT_EQ(crc32_bitwise(b, 9, IMAGE_CRC_INIT), check);
    EXPECT_EQ(image_crc_mismatch(b, 9, check), 0);
    EXPECT_EQ(image_crc_mismatch(b, 8, check), 1);
}

// Lengths 0-64 at every alignment (block, tail, joins), then long ones; any initial value, so
// any chaining.
TEST(ImageCrc32, EqualsTheDefinitionAndChains) {
    std::mt19937 rng(1);
    std::uint8_t buf[20000];
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < 1200; ++i) {
        const std::size_t len = i < 1040 ? i / 16 : rng() % (sizeof buf - 16);
        const std::uint8_t* b = buf + i % 16;
        const std::uint32_t init = i % 3 ? std::uint32_t(rng()) : IMAGE_CRC_INIT;
        ASSERT_EQ(image_crc32(b, len, init), crc32_bitwise(b, len, init))
            << "align " << i % 16 << " len " << len << " init " << init;
    }
}

// Layout 3: "HDR3" at 16, H at 22, T = len + 16; layout 2: bit 31 of the magic, H at 18,
// T = H + len; layout 1: T = 16 + len. Invalid: H < 16, H > T, or T over 32 bits.
TEST(CheckSubimageExtent, LayoutsAndLengths) {
    using enum ExtentStatus;
    constexpr std::uint32_t L1 = 0x034F5249, L2 = 0x834F5249, MAX = 0xFFFFFFFF;
    constexpr std::uint64_t big = std::uint64_t{1} << 40,
                            HDR3 = std::uint64_t{IMAGE_HDR3_WORD} << 32;
    const auto at18 = [](std::uint64_t h) { return h << 32; };
    const struct {
        std::uint32_t len, magic;
        std::uint64_t bytes16to23, remaining;
        ExtentStatus status;
        int layout;
        std::uint32_t h;
        std::uint64_t total = 0;
    } cases[] = {
        {0x01020304, L1, 0x12345678'0000FFFF, big, ok, 1, 16, 0x01020314},  // bytes 16-23 unread
        {MAX - 16, L1, 0, MAX, ok, 1, 16, MAX},
        {MAX - 16, L1, 0, MAX - 1, truncated, 1, 16, MAX},
        {MAX - 15, L1, 0, big, invalid, 1, 16},             // 16 + len wraps
        {50, L1, 0x00484452'33000000, big, ok, 1, 16, 66},  // "HDR3" a byte late
        {5, L2, 0xAABB0028'01000099, big, ok, 2, 40, 45},
        {100, L2, at18(15), big, invalid, 2, 15},
        {100, L2, at18(16), 116, ok, 2, 16, 116},
        {MAX - 0x1F, L2, at18(0x20), big, invalid, 2, 0x20},         // H + len wraps
        {0x100, L2, HDR3 | 0x20, 0x10F, truncated, 3, 0x20, 0x110},  // with the flag too
        {64, L1, HDR3 | 0x78790030, big, ok, 3, 0x30, 80},           // bytes 20-21 ignored
        {8, L1, HDR3 | 25, big, invalid, 3, 25},                     // H over len + 16
        {8, L1, HDR3 | 24, 24, ok, 3, 24, 24},
        {8, L1, HDR3 | 0x30, 10, invalid, 3, 0x30},      // invalid, not cut short
        {MAX - 15, L1, HDR3 | 24, big, invalid, 3, 24},  // len + 16 wraps
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        Bytes probe = header(c.magic, c.len);
        store_be32(&probe[16], std::uint32_t(c.bytes16to23 >> 32));
        store_be32(&probe[20], std::uint32_t(c.bytes16to23));
        const SubImageExtent e = check_subimage_extent(probe.data(), c.remaining);
        EXPECT_EQ(e.status, c.status);
        EXPECT_EQ(e.layout, c.layout);
        EXPECT_EQ(e.header_length, c.h);
        if (c.status == invalid) continue;  // its lengths mean nothing
        EXPECT_EQ(e.total_length, c.total);
        EXPECT_EQ(e.header_length + std::uint64_t{e.payload_length}, c.total);
    }
}

constexpr std::uint32_t APP = IMAGE_TYPE_APPLICATION, BOOT = IMAGE_TYPE_BOOTLOADER,
                        KERNEL = IMAGE_TYPE_KERNEL;

// A sound sub-image of `total` bytes.
Bytes image(std::uint32_t type, std::uint32_t total, int layout = 1, std::uint16_t h = 16) {
    return subimage(type, pattern(total - (layout == 1 ? 16 : h), type), layout, h);
}

const std::string INSTALLING =
    "\nExtracting images ... Do *NOT* power cycle the switch.\nInstalling ";

class Installer : public testing::Test {
protected:
    void SetUp() override {
        board_.config.erase_size = "4096";
        for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            std::ofstream{board_.partition_file(name)};
            fs::resize_file(board_.partition_file(name),
                            0x301000);  // a little over the kernel's limit
        }
        board_.hold_switch_files();
        fresh();
    }
    void TearDown() override { close_i2c_buses(); }
    // The board with these faults, its flash counts zero.
    void fresh(const char* faults = "") {
        board_.config.faults = faults;
        close_i2c_buses();
        board_.apply();
        open_flash_partitions();
        ASSERT_EQ(open_i2c_buses(), 0);
    }
    // The slot question, when asked, is answered with `answer`.
    InstallOutcome install(const Bytes& bundle, int answer = 2, bool skip_same = false) {
        write_file(board_.dir.file("bundle"), bundle);
        Console console;
        asked_ = 0;
        const InstallOutcome outcome =
            install_bundle(board_.dir.file("bundle").c_str(), skip_same, 0, [&] {
                ++asked_;
                return answer;
            });
        out_ = console.finish().out;
        return outcome;
    }
    std::string slot(int n) const {
        return board_.dir.file("user/images/image" + std::to_string(n));
    }
    static bool untouched() {
        return sim_board::flash_counts().erase + sim_board::flash_counts().write == 0;
    }

    Board board_;
    std::string out_;
    int asked_ = 0;
};

// The CRC word and the layout-2 flag take part in the comparison, not in the lookup (the boot
// loader's exception: SlotimgCli.Plan...); a type without a place reads as nothing installed.
TEST_F(Installer, SameAsInstalled) {
    constexpr std::uint32_t DIAG = IMAGE_TYPE_DIAGNOSTICS;
    const Bytes kernel = header(KERNEL, 0x4000);
    const struct {
        const char* partition;
        Bytes installed, offered;
        int same;
        const char* out = "";
    } rows[] = {
        {"kernel", kernel, resealed(kernel, 12, 0), 0},    // the CRC word differs
        {"kernel", kernel, header(KERNEL, 0x4000, 2), 0},  // the flag differs
        {"rescue", header(DIAG, 0x4000, 2), header(DIAG, 0x4000, 2), 1},
        {"rfs", header(0x074F5249, 0), header(0x074F5249, 0), 0, "Unknown image type 0x74f5249 \n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.partition);
        board_.put(r.partition, r.installed);
        fresh();
        Console console;
        EXPECT_EQ(same_as_installed(r.offered.data(), 1), r.same);
        EXPECT_EQ(console.finish().out, r.out);
    }
}

// In this order: extent, CRC, limit (inclusive: the boot loader's len, the others' whole
// sub-image), same version, room (the boot loader's payload).
TEST(DecideSubImage, InTheInstallersOrder) {
    using enum Decision;
    constexpr std::uint32_t ROOTFS = IMAGE_TYPE_ROOTFS, DFT = IMAGE_TYPE_DEVICETREE,
                            DIAG = IMAGE_TYPE_DIAGNOSTICS;
    const std::string too_big = " image is too big for flash (";
    const struct {
        Bytes head;
        Decision decision;
        std::string reason;
        std::uint32_t crc_xor = 0;
        bool same = false;
        std::uint32_t room = 0;
    } rows[] = {
        {header(BOOT, 0x80000, 2, 256), install, ""},
        {header(BOOT, 0x80001, 3, 64), refuse, "UBOOT" + too_big + "524289 > 524288)\n"},
        {header(KERNEL, 0x300000 - 15), refuse, "KERNEL" + too_big + "3145729 > 3145728)\n"},
        {header(ROOTFS, 0xF00000 - 15), refuse, "RFS" + too_big + "15728641 > 15728640)\n"},
        {header(DFT, 0x40000 - 15), refuse, "DFT" + too_big + "262145 > 262144)\n"},
        {header(DIAG, 0xA00000 - 15, 2, 16), refuse, "DIAGS" + too_big + "10485761 > 10485760)\n"},
        {header(APP, 0xFFFFFF00), install, ""},  // no limit
        {header(KERNEL, 0x300000 - 15), refuse,
         "Bad crc for KERNEL: 0x11111110, voiding download\n", 1},
        {header(DIAG, 8, 2, 8), refuse,
         "Bad header for DIAGNOSTICS IMAGE: invalid header lengths, voiding download\n"},
        {header(KERNEL, 100), skip_same_version,
         "Image has same version as existing image. Skipping update...\n", 0, true},
        {header(APP, 100), install, "", 0, true},  // the slot is not chosen yet
        {header(BOOT, 4096, 2, 256), install, "", 0, false, 4096},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &r - rows);
        SubImageFacts facts{.extent = check_subimage_extent(r.head.data(), std::uint64_t{1} << 40),
                            .stored_crc = 0x11111111,
                            .len_field = load_be32(&r.head[4]),
                            .computed_crc = 0x11111111 ^ r.crc_xor,
                            .slot = 0,
                            .skip_same_version = true,
                            .same_as_installed = [&] { return r.same; },
                            .partition_size = nullptr};
        if (r.room != 0) facts.partition_size = [&] { return std::optional(r.room); };
        const SubImageDecision d = decide_sub_image(facts);
        EXPECT_EQ(d.decision, r.decision);
        EXPECT_EQ(d.reason, r.reason);
    }
}

// Cut-short lengths (looked at before the boot loader's len) or too small a partition: refused
// before any write; a lost write or a failed read: caught at the read-back.
TEST_F(Installer, RefusedBeforeWritingOrFailedAtReadBack) {
    const std::string failed = "100%\nkernel image update failed\n";
    const struct {
        const char* faults;
        Bytes bundle;
        std::string tail;
        std::uint32_t kernel_size = 0x301000;
    } rows[] = {
        {"", resealed(image(BOOT, 1024), 4, 0x7FFFFFF0u),
         "Boot Loader: Bad header for UBOOT: cut short by the end of the file, voiding download\n"},
        {"flash:kernel:lose:5", image(KERNEL, 5 * 4096 + 100), failed},
        {"flash:kernel:read:7", image(KERNEL, 5 * 4096 + 100), failed},  // in the read-back
        {"", image(KERNEL, 2 * 4096 + 1),
         "Kernel: Flash Write range past end of partition.\nkernel image update failed\n",
         2 * 4096},
    };
    for (const auto& [faults, bundle, tail, kernel_size] : rows) {
        SCOPED_TRACE(tail);
        fs::resize_file(board_.partition_file("kernel"), kernel_size);
        fresh(faults);
        ASSERT_EQ(install(bundle), InstallOutcome::nothing_installed) << out_;
        EXPECT_TRUE(*faults ? out_.ends_with(tail) : out_ == INSTALLING + tail) << out_;
        EXPECT_EQ(untouched(), !*faults);
    }
}

// Unknown types are skipped by len; padding (read as cut short) ends the walk; an unknown type
// with invalid lengths voids the download. One slot question per bundle. Slot files: 0755.
TEST_F(Installer, WhatFollowsAnApplication) {
    using enum InstallOutcome;
    const Bytes kernel = image(KERNEL, 9001), app = image(APP, 3001),
                second = resealed(app, 12, 0x01020305);
    const Bytes unknown = image(0x7F4F5249, 300), unknown3 = image(0x004F5249, 5000, 3, 40);
    const std::string done = "100%\n\nImage2 updated succeeded\n", processed = "File processed\n";
    const struct {
        Bytes after;
        InstallOutcome outcome;
        Bytes in_slot;
        std::string ending;
    } rows[] = {
        {Bytes(23, 0x1A), installed, app, done + processed},
        {Bytes(1000, 0x00), installed, app, done + processed},
        {app, installed, app,
         done +
             "Installing Application: Image2 has same version as existing image. Skipping "
             "update...\n" +
             processed},
        {second, installed, second,
         done + "Installing Application: Installing image as image2:     \b\b\b\b100%\b\b\b\b" +
             done + processed},
        {resealed(image(0x004F5249, 300, 3, 64), 4, 8), nothing_installed, app,
         done + "Bad header for type 0x004f5249: invalid header lengths, voiding download\n"},
    };
    const mode_t mask = umask(0);
    for (const auto& [after, outcome, in_slot, ending] : rows) {
        SCOPED_TRACE(ending);
        fresh();
        fs::remove_all(board_.dir.file("user/images"));
        EXPECT_EQ(install(unknown + kernel + unknown3 + app + after, 2, true), outcome) << out_;
        EXPECT_EQ(asked_, 1);
        EXPECT_TRUE(read_file(slot(2)) == in_slot);
        EXPECT_TRUE(out_.ends_with(ending)) << out_;
    }
    umask(mask);
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), board_.partition("kernel").begin()));
    EXPECT_EQ(fs::status(board_.dir.file("user/images")).permissions(), fs::perms(0755));
}

TEST_F(Installer, BundleThatCannotBeOpened) {
    Console console;
    EXPECT_EQ(install_bundle("/nonexistent/bundle", false, 0, nullptr),
              InstallOutcome::nothing_installed);
    EXPECT_EQ(console.finish().out, "Can't open image file /nonexistent/bundle\n");
}

TEST_F(Installer, NothingInstalledWhenTheSlotHoldsTheImage) {
    const Bytes app = image(APP, 3000);
    install(app);
    EXPECT_EQ(install(app, 2, true), InstallOutcome::nothing_installed) << out_;
}

}  // namespace
