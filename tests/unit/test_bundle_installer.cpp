// Tests of the bundle installer against the simulated board: size limits,
// header extents, checksums, flash read-back, slot files and the slot question.
#include "image/bundle_installer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_header.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t ERASE_SIZE = 4096;

// The checksum by its definition, bit by bit: the oracle for the images the
// tests build, independent of the table-driven routine under test.
std::uint32_t crc_by_definition(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = p[i];
        for (int k = 0; k < 8; ++k) {
            c = ((c ^ b) & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            b >>= 1;
        }
    }
    return c;
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 24);
    b[at + 1] = static_cast<std::uint8_t>(v >> 16);
    b[at + 2] = static_cast<std::uint8_t>(v >> 8);
    b[at + 3] = static_cast<std::uint8_t>(v);
}

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

void seal(Bytes& image) { put32(image, 0, crc_by_definition(image.data() + 4, image.size() - 4)); }

// A sound sub-image of `total` bytes in the given layout (header length
// `header_length` for layouts 2 and 3), with a payload pattern that differs
// from erased flash and from one image to the next.
Bytes make_image(std::uint32_t type, std::uint32_t total, int layout = 1,
                 std::uint32_t header_length = 16, std::uint32_t id = 0x01020304) {
    if (layout == 1) header_length = 16;
    Bytes b(total);
    for (std::uint32_t i = 0; i < total; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + id) % 251);
    std::uint32_t magic = type;
    std::uint32_t len = total - header_length;
    if (layout == 2) {
        magic |= 0x80000000u;
        put16(b, 18, header_length);
    } else if (layout == 3) {
        put32(b, 16, 0x48445233u);
        put16(b, 22, header_length);
        len = total - 16;
    } else if (total >= 20 && b[16] == 0x48) {
        b[16] = 0;  // never "HDR3" by accident
    }
    put32(b, 4, len);
    put32(b, 8, magic);
    put32(b, 12, id);
    seal(b);
    return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void write_text(const fs::path& p, const std::string& s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << s;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::size_t occurrences(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

const char* const PARTITION_NAMES[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

// Partition sizes: a little over each type's limit, so that the limit and
// not the partition decides.
std::uint32_t partition_size(const std::string& name) {
    if (name == "uboot") return 0x80000 + 2 * ERASE_SIZE;
    if (name == "devicetree") return 0x40000 + ERASE_SIZE;
    if (name == "kernel") return 0x300000 + ERASE_SIZE;
    if (name == "rfs") return 0xF00000 + ERASE_SIZE;
    if (name == "rescue") return 0xA00000 + ERASE_SIZE;
    return 4 * ERASE_SIZE;
}

struct Case {
    const char* what;
    std::uint32_t type;
    const char* partition;
    const char* label;
    const char* name;
    std::uint32_t limit;
    const char* too_big;      // size message up to " (": the numbers follow
    const char* write_failed; // the type's write-failure line
};

const Case FLASH_TYPES[] = {
    {"bootloader", IMAGE_TYPE_BOOTLOADER, "uboot", "Installing Boot Loader: ", "UBOOT", 0x80000,
     "UBOOT image is too big for flash", "Uboot image update failed"},
    {"kernel", IMAGE_TYPE_KERNEL, "kernel", "Installing Kernel: ", "KERNEL", 0x300000,
     "KERNEL image is too big for flash", "kernel image update failed"},
    {"rootfs", IMAGE_TYPE_ROOTFS, "rfs", "Installing Root Filesystem: ", "RFS", 0xF00000,
     "RFS image is too big for flash", "RFS image update failed"},
    {"devicetree", IMAGE_TYPE_DEVICETREE, "devicetree", "Installing Device Tree: ", "DFT", 0x40000,
     "DFT image is too big for flash", "DFT image update failed"},
    {"diagnostics", IMAGE_TYPE_DIAGNOSTICS, "rescue", "Installing Diagnostics: ",
     "DIAGNOSTICS IMAGE", 0xA00000, "DIAGS image is too big for flash", "DIAGS image update failed"},
};

const std::string BANNER = "\nExtracting images ... Do *NOT* power cycle the switch.\n";
const std::string QUESTION = "Install image as image 1 or 2 (hit return to just boot image): ";

// A direct boot hands over to the launch, which ends the process with
// exit(0) when it cannot start the application. No test here asks for one;
// if a fault leads there anyway, the run must not end as a success.
bool test_running = false;

void refuse_exit_inside_a_test() {
    if (test_running) {
        std::fputs("the installer ended the process inside a test\n", stderr);
        std::_Exit(1);
    }
}

class BundleInstaller : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::atexit(refuse_exit_inside_a_test); }

    void SetUp() override {
        test_running = true;
        char tmpl[] = "/tmp/test_bundle_installer.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directory(dir_ / "flash");
        for (const char* name : PARTITION_NAMES) {
            std::ofstream(flash_file(name), std::ios::binary).close();
            fs::resize_file(flash_file(name), partition_size(name));
        }
        slots_ = dir_ / "images";
        // Nothing the installer runs may reach a real program of this host.
        fs::create_directory(dir_ / "bin");
        ::setenv("PATH", (dir_ / "bin").c_str(), 1);
        set_slot_directory_for_testing(slots_.c_str());
        configure("");
        answer("");
    }

    void TearDown() override {
        set_slot_directory_for_testing(nullptr);
        close_i2c_buses();
        sim_board::reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        test_running = false;
    }

    void configure(const std::string& faults) {
        sim_board::Config c;
        c.flash_dir = (dir_ / "flash").string();
        c.erase_size = std::to_string(ERASE_SIZE);
        c.slot_register = (dir_ / "slot-register.bin").string();
        c.time_scale = 0;
        c.faults = faults;
        close_i2c_buses();
        ASSERT_TRUE(sim_board::configure(c));
        open_flash_partitions();
        ASSERT_EQ(open_i2c_buses(), 0);
    }

    // What the operator types at the slot question.
    void answer(const std::string& text) {
        write_text(dir_ / "answer", text);
        ASSERT_NE(std::freopen((dir_ / "answer").c_str(), "r", stdin), nullptr);
    }

    fs::path flash_file(const std::string& name) const { return dir_ / "flash" / (name + ".bin"); }
    fs::path slot_file(int slot) const { return slots_ / ("image" + std::to_string(slot)); }

    Bytes flash_head(const std::string& name, std::size_t n) const {
        Bytes all = read_file(flash_file(name));
        all.resize(n);
        return all;
    }

    // The selected-slot register (byte 0 of device 0x54); 0 when never written.
    int selected_slot() const {
        Bytes r = read_file(dir_ / "slot-register.bin");
        return r.empty() ? 0 : r[0];
    }

    bool flash_untouched() const {
        const sim_board::FlashCounts c = sim_board::flash_counts();
        return c.erase == 0 && c.write == 0;
    }

    // Installs `bundle` and keeps what the installer printed in out_.
    int install(const Bytes& bundle, int slot = 0, bool skip_same = false) {
        write_file(dir_ / "bundle", bundle);
        return install_path((dir_ / "bundle").string(), slot, skip_same);
    }

    int install_path(const std::string& path, int slot = 0, bool skip_same = false) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        const int result = install_bundle(path.c_str(), skip_same, slot);
        std::fflush(stdout);
        out_ = ::testing::internal::GetCapturedStdout();
        return result;
    }

    bool printed(const std::string& text) const { return out_.find(text) != std::string::npos; }

    fs::path dir_;
    fs::path slots_;
    std::string out_;
};

// ---- size limits, inclusive, for every flash type -------------------------

TEST_F(BundleInstaller, EveryFlashTypeAcceptsExactlyItsLimit) {
    for (const Case& c : FLASH_TYPES) {
        SCOPED_TRACE(c.what);
        configure("");
        // The boot loader is measured by len: a layout-1 payload of the limit.
        const std::uint32_t total = c.type == IMAGE_TYPE_BOOTLOADER ? c.limit + 16 : c.limit;
        const Bytes image = make_image(c.type, total);
        ASSERT_EQ(install(image), 1) << out_;
        const bool payload_only = c.type == IMAGE_TYPE_BOOTLOADER;
        const Bytes expected(image.begin() + (payload_only ? 16 : 0), image.end());
        EXPECT_EQ(flash_head(c.partition, expected.size()), expected);
        EXPECT_EQ(out_.rfind(BANNER + c.label, 0), 0u) << out_;
        const std::string tail = std::string("100%\n") +
                                 (c.type == IMAGE_TYPE_DIAGNOSTICS ? "done\n" : "") +
                                 "File processed\n";
        EXPECT_TRUE(ends_with(out_, tail)) << out_;
    }
}

TEST_F(BundleInstaller, EveryFlashTypeRefusesOneByteMoreBeforeWriting) {
    for (const Case& c : FLASH_TYPES) {
        SCOPED_TRACE(c.what);
        configure("");
        const std::uint32_t measured = c.limit + 1;
        const std::uint32_t total = c.type == IMAGE_TYPE_BOOTLOADER ? measured + 16 : measured;
        ASSERT_EQ(install(make_image(c.type, total)), 0) << out_;
        const std::string message = std::string(c.too_big) + " (" + std::to_string(measured) +
                                    " > " + std::to_string(c.limit) + ")\n";
        EXPECT_EQ(out_, BANNER + c.label + message);
        EXPECT_TRUE(flash_untouched());
    }
}

// The boot loader's limit is on its len field, not on the total length: in
// layouts 2 and 3 the header makes T larger than len.
TEST_F(BundleInstaller, BootLoaderIsMeasuredByItsLenField) {
    struct {
        int layout;
        std::uint32_t header_length;
        std::uint32_t len;
        int result;
    } const rows[] = {
        {2, 256, 0x80000, 1},      // T = 0x80100, len at the limit
        {3, 256, 0x80000, 1},      // T = 0x80010, payload 0x80000 - 240
        {2, 256, 0x80001, 0},
        {3, 64, 0x80001, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << "layout " << r.layout << " len " << r.len);
        configure("");
        const std::uint32_t total = r.layout == 3 ? r.len + 16 : r.len + r.header_length;
        const Bytes image = make_image(IMAGE_TYPE_BOOTLOADER, total, r.layout, r.header_length);
        ASSERT_EQ(install(image), r.result) << out_;
        if (r.result == 1) {
            // Only the payload goes to the partition.
            const Bytes payload(image.begin() + r.header_length, image.end());
            EXPECT_EQ(flash_head("uboot", payload.size()), payload);
        } else {
            EXPECT_TRUE(printed("UBOOT image is too big for flash (" + std::to_string(r.len) +
                                " > 524288)\n"))
                << out_;
            EXPECT_TRUE(flash_untouched());
        }
    }
}

// ---- extents -------------------------------------------------------------

TEST_F(BundleInstaller, RefusesInvalidOrCutShortHeadersOfKnownTypesBeforeAnything) {
    auto kernel_layout3_negative_payload = [] {
        Bytes b = make_image(IMAGE_TYPE_KERNEL, 4096, 3, 64);
        put16(b, 22, 0x2000);  // H above len + 16
        seal(b);
        return b;
    };
    auto app_layout2_short_header = [] {
        Bytes b = make_image(IMAGE_TYPE_APPLICATION, 4096, 2, 64);
        put16(b, 18, 8);  // H under 16
        seal(b);
        return b;
    };
    auto rfs_wrapping_total = [] {
        Bytes b = make_image(IMAGE_TYPE_ROOTFS, 4096, 2, 0xFFFF);
        put32(b, 4, 0xFFFFFFF0u);  // H + len passes 32 bits
        seal(b);
        return b;
    };
    auto dft_cut_short = [] {
        Bytes b = make_image(IMAGE_TYPE_DEVICETREE, 8192);
        b.resize(5000);
        return b;
    };
    auto app_cut_short = [] {
        Bytes b = make_image(IMAGE_TYPE_APPLICATION, 70000);
        b.resize(69999);
        return b;
    };
    auto uboot_len_past_end = [] {
        Bytes b = make_image(IMAGE_TYPE_BOOTLOADER, 1024);
        put32(b, 4, 0x7FFFFFF0u);
        return b;
    };
    struct {
        const char* what;
        Bytes bundle;
        std::string expected;
    } const rows[] = {
        {"layout 3, negative payload", kernel_layout3_negative_payload(),
         "Installing Kernel: Bad header for KERNEL: invalid header lengths, voiding download\n"},
        {"layout 2, header under 16", app_layout2_short_header(),
         "Installing Application: Bad header for APPLICATION: invalid header lengths, voiding "
         "download\n"},
        {"total wraps 32 bits", rfs_wrapping_total(),
         "Installing Root Filesystem: Bad header for RFS: invalid header lengths, voiding "
         "download\n"},
        {"device tree cut short", dft_cut_short(),
         "Installing Device Tree: Bad header for DFT: cut short by the end of the file, voiding "
         "download\n"},
        {"application one byte short", app_cut_short(),
         "Installing Application: Bad header for APPLICATION: cut short by the end of the file, "
         "voiding download\n"},
        {"boot loader len far past the end", uboot_len_past_end(),
         "Installing Boot Loader: Bad header for UBOOT: cut short by the end of the file, voiding "
         "download\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        configure("");
        answer("2\n");
        ASSERT_EQ(install(r.bundle), 0);
        EXPECT_EQ(out_, BANNER + r.expected);
        EXPECT_TRUE(flash_untouched());
        EXPECT_FALSE(fs::exists(slot_file(2)));
        EXPECT_EQ(selected_slot(), 0);
    }
}

TEST_F(BundleInstaller, UnknownTypesAreSkippedWithoutAWord) {
    Bytes unknown = make_image(0x7F4F5249, 300);
    Bytes unknown3 = make_image(0x004F5249, 5000, 3, 40);
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 9000);
    ASSERT_EQ(install(join({unknown, kernel, unknown3})), 1) << out_;
    EXPECT_EQ(flash_head("kernel", kernel.size()), kernel);
    EXPECT_EQ(out_.rfind(BANNER + "Installing Kernel: ", 0), 0u) << out_;
    EXPECT_TRUE(ends_with(out_, "100%\nFile processed\n")) << out_;

    configure("");
    ASSERT_EQ(install(join({unknown, unknown3})), 0);
    EXPECT_EQ(out_, BANNER + "File processed\nERROR: No valid image found\n");
    EXPECT_TRUE(flash_untouched());
}

// An unknown type that cannot be walked over ends the walk; what was
// installed before it stands.
TEST_F(BundleInstaller, UnknownTypeThatDoesNotFitEndsTheWalk) {
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 9000);
    Bytes past_end = make_image(0x094F5249, 600);
    put32(past_end, 4, 0x10000);
    Bytes invalid = make_image(0x094F5249, 600, 3, 32);
    put16(invalid, 22, 0x1000);
    const Bytes dft = make_image(IMAGE_TYPE_DEVICETREE, 5000);
    for (const Bytes& stopper : {past_end, invalid}) {
        configure("");
        ASSERT_EQ(install(join({kernel, stopper, dft})), 1) << out_;
        EXPECT_EQ(flash_head("kernel", kernel.size()), kernel);
        EXPECT_FALSE(printed("Device Tree")) << out_;
        EXPECT_TRUE(ends_with(out_, "100%\nFile processed\n")) << out_;
    }
}

// ---- checksums -------------------------------------------------------------

TEST_F(BundleInstaller, BadChecksumShowsTheComputedValueForEveryType) {
    const Case app{"application", IMAGE_TYPE_APPLICATION, "", "Installing Application: ",
                   "APPLICATION", 0, "", ""};
    std::vector<Case> all(std::begin(FLASH_TYPES), std::end(FLASH_TYPES));
    all.push_back(app);
    for (const Case& c : all) {
        SCOPED_TRACE(c.what);
        configure("");
        answer("1\n");
        Bytes image = make_image(c.type, 3000);
        image[2000] ^= 0x40;
        const std::uint32_t computed = crc_by_definition(image.data() + 4, image.size() - 4);
        ASSERT_EQ(install(image), 0);
        EXPECT_EQ(out_, BANNER + c.label + "Bad crc for " + c.name + ": " + hex8(computed) +
                            ", voiding download\n");
        EXPECT_TRUE(flash_untouched());
        EXPECT_FALSE(fs::exists(slot_file(1)));
    }
}

TEST_F(BundleInstaller, SecondSubImageWithBadChecksumLeavesTheFirstWritten) {
    const Bytes dft = make_image(IMAGE_TYPE_DEVICETREE, 10000);
    Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 20000);
    kernel[12] ^= 0x01;  // the version field is covered too
    const std::uint32_t computed = crc_by_definition(kernel.data() + 4, kernel.size() - 4);
    ASSERT_EQ(install(join({dft, kernel})), 0);
    EXPECT_EQ(flash_head("devicetree", dft.size()), dft);
    EXPECT_EQ(flash_head("kernel", kernel.size()), Bytes(kernel.size(), 0));
    const std::string end = "100%\nInstalling Kernel: Bad crc for KERNEL: " + hex8(computed) +
                            ", voiding download\n";
    EXPECT_TRUE(ends_with(out_, end)) << out_;
    EXPECT_FALSE(printed("File processed"));
}

// ---- flash write and read-back --------------------------------------------

TEST_F(BundleInstaller, FlashFailuresAreWriteFailures) {
    struct {
        const char* faults;
        const char* flash_message;  // what the flash layer says first, if anything
    } const rows[] = {
        {"flash:kernel:write:3", "Flash Write mtd write failed.\n\n"},
        {"flash:kernel:erase:2", "Flash Write mtd erase failed.\n\n"},
        // A write that reports success and stores nothing: only the
        // read-back can tell.
        {"flash:kernel:lose:5", ""},
        {"flash:kernel:read:2", "Flash Write mtd read failed.\n\n"},
        // Six blocks are read by the write; the seventh read is the read-back.
        {"flash:kernel:read:7", ""},
    };
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 5 * ERASE_SIZE + 100);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.faults);
        configure(r.faults);
        ASSERT_EQ(install(kernel), 0) << out_;
        const std::string end = std::string(r.flash_message) + "kernel image update failed\n";
        EXPECT_TRUE(ends_with(out_, end)) << out_;
        EXPECT_FALSE(printed("File processed"));
    }
}

TEST_F(BundleInstaller, ImageLargerThanItsPartitionIsRefusedBeforeErasing) {
    fs::resize_file(flash_file("devicetree"), 2 * ERASE_SIZE);
    configure("");
    ASSERT_EQ(install(make_image(IMAGE_TYPE_DEVICETREE, 2 * ERASE_SIZE + 1)), 0);
    EXPECT_EQ(out_, BANNER + "Installing Device Tree: DFT image update failed\n");
    EXPECT_TRUE(flash_untouched());
}

// ---- padding after the last sub-image ---------------------------------------

TEST_F(BundleInstaller, TrailingTransferPaddingDoesNotSpoilAValidBundle) {
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 9001);
    const Bytes app = make_image(IMAGE_TYPE_APPLICATION, 3001);
    struct {
        std::size_t count;
        std::uint8_t byte;
    } const paddings[] = {{1023, 0x1A}, {24, 0x1A}, {23, 0x1A}, {1, 0x1A}, {1000, 0x00}};
    for (const auto& p : paddings) {
        SCOPED_TRACE(::testing::Message() << p.count << " bytes of " << int{p.byte});
        configure("");
        answer("2\n");
        Bytes bundle = join({kernel, app});
        bundle.insert(bundle.end(), p.count, p.byte);
        ASSERT_EQ(install(bundle), 1) << out_;
        EXPECT_EQ(flash_head("kernel", kernel.size()), kernel);
        EXPECT_EQ(read_file(slot_file(2)), app);
        EXPECT_TRUE(ends_with(out_, "100%\n\nImage2 updated succeeded\nFile processed\n"))
            << out_;
    }
}

// ---- application in a slot ---------------------------------------------------

TEST_F(BundleInstaller, ApplicationStoredInTheChosenSlotWithItsProgress) {
    struct {
        const char* answer;
        int slot;
    } const rows[] = {{"2\n", 2}, {"1\n", 1}, {"2abc\n", 2}, {"1 and more\n", 1}};
    // Three chunks of the slot file: 65536, 65536 and the rest.
    const Bytes app = make_image(IMAGE_TYPE_APPLICATION, 150000);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.answer);
        configure("");
        fs::remove_all(slots_);
        answer(r.answer);
        ASSERT_EQ(install(app), 1) << out_;
        const std::string n = std::to_string(r.slot);
        EXPECT_EQ(out_, BANNER + "Installing Application: " + QUESTION + "Installing image as image" +
                            n + ":     \b\b\b\b043%\b\b\b\b087%\b\b\b\b100%\b\b\b\b100%\n\nImage" + n +
                            " updated succeeded\nFile processed\n");
        EXPECT_EQ(read_file(slot_file(r.slot)), app);
        EXPECT_FALSE(fs::exists(slot_file(3 - r.slot)));
        EXPECT_EQ(selected_slot(), r.slot);
        EXPECT_TRUE(flash_untouched());
    }
}

TEST_F(BundleInstaller, SlotDirectoryIsCreatedWithOwnerPermissions) {
    const mode_t old_mask = ::umask(0);
    const int result = install(make_image(IMAGE_TYPE_APPLICATION, 500), 1);
    ::umask(old_mask);
    ASSERT_EQ(result, 1) << out_;
    struct stat st{};
    ASSERT_EQ(::stat(slots_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(BundleInstaller, TwoApplicationsAskOnceAndShareTheSlot) {
    const Bytes first = make_image(IMAGE_TYPE_APPLICATION, 70000, 1, 16, 0x01000000);
    const Bytes second = make_image(IMAGE_TYPE_APPLICATION, 1000, 2, 48, 0x02000000);
    answer("2\n1\n");
    ASSERT_EQ(install(join({first, second})), 1) << out_;
    EXPECT_EQ(read_file(slot_file(2)), second);
    EXPECT_FALSE(fs::exists(slot_file(1)));
    EXPECT_EQ(selected_slot(), 2);
    const std::size_t asked = out_.find(QUESTION);
    ASSERT_NE(asked, std::string::npos);
    EXPECT_EQ(out_.find(QUESTION, asked + 1), std::string::npos) << out_;
    EXPECT_EQ(occurrences(out_, "Installing image as image2: "), 2u) << out_;
    EXPECT_EQ(occurrences(out_, "\nImage2 updated succeeded\n"), 2u) << out_;
}

TEST_F(BundleInstaller, KernelThenApplicationWithTheSlotGivenByTheCaller) {
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 12345);
    const Bytes app = make_image(IMAGE_TYPE_APPLICATION, 4321, 3, 32);
    ASSERT_EQ(install(join({kernel, app}), 1), 1) << out_;
    EXPECT_FALSE(printed(QUESTION));
    EXPECT_EQ(flash_head("kernel", kernel.size()), kernel);
    EXPECT_EQ(read_file(slot_file(1)), app);
    EXPECT_EQ(selected_slot(), 1);
}

TEST_F(BundleInstaller, SlotFileThatCannotBeWrittenFailsTheInstall) {
    const Bytes app = make_image(IMAGE_TYPE_APPLICATION, 2000);
    // A directory where the slot file should be: it cannot be created.
    fs::create_directories(slot_file(2));
    answer("2\n");
    ASSERT_EQ(install(app), 0);
    EXPECT_EQ(out_, BANNER + "Installing Application: " + QUESTION +
                        "Installing image as image2: Image2 update failed (err 21)\n");
    EXPECT_EQ(selected_slot(), 0);

    // A slot file on a device that is always full: the first chunk fails.
    fs::remove(slot_file(2));
    fs::create_symlink("/dev/full", slot_file(2));
    answer("2\n");
    ASSERT_EQ(install(app), 0);
    EXPECT_EQ(out_, BANNER + "Installing Application: " + QUESTION +
                        "Installing image as image2:     Image2 update failed (err 28)\n");
    EXPECT_EQ(selected_slot(), 0);
}

// ---- what is not installed ---------------------------------------------------

TEST_F(BundleInstaller, BundleThatCannotBeOpenedInstallsNothing) {
    ASSERT_EQ(install_path((dir_ / "no-such-file").string()), 0);
    EXPECT_EQ(out_, "Can't open image file " + (dir_ / "no-such-file").string() + "\n");
    ASSERT_EQ(install_path(dir_.string()), 0);  // a directory is no bundle either
    EXPECT_FALSE(printed("File processed"));
    EXPECT_TRUE(flash_untouched());
}

TEST_F(BundleInstaller, WalkEndsWhenFewerThan24BytesRemain) {
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 8000);
    const Bytes tiny = make_image(IMAGE_TYPE_DEVICETREE, 23);
    ASSERT_EQ(install(join({kernel, tiny})), 1) << out_;
    EXPECT_FALSE(printed("Device Tree"));
    ASSERT_EQ(install(tiny), 0);
    EXPECT_EQ(out_, BANNER + "File processed\nERROR: No valid image found\n");
}

TEST_F(BundleInstaller, SameVersionIsSkippedOnlyWhenAsked) {
    const Bytes kernel = make_image(IMAGE_TYPE_KERNEL, 6000);
    ASSERT_EQ(install(kernel, 0, true), 1) << out_;
    ASSERT_EQ(install(kernel, 0, true), 0) << out_;
    EXPECT_EQ(out_, BANNER +
                        "Installing Kernel: Image has same version as existing image. Skipping "
                        "update...\nFile processed\nERROR: No valid image found\n");
    ASSERT_EQ(install(kernel, 0, false), 1) << out_;
}

// The same-version test of an application compares with the slot file where
// the installer writes it, so a second copy in the same bundle, or a slot
// that already holds the image, is left alone.
TEST_F(BundleInstaller, SameVersionOfAnApplicationIsFoundInTheSlotDirectory) {
    const Bytes app = make_image(IMAGE_TYPE_APPLICATION, 3000);
    ASSERT_EQ(install(join({app, app}), 1, true), 1) << out_;
    EXPECT_EQ(occurrences(out_, "Image1 updated succeeded\n"), 1u) << out_;
    EXPECT_TRUE(printed("Installing image as image1: Image1 has same version as existing image. "
                        "Skipping update...\n"))
        << out_;
    EXPECT_EQ(read_file(slot_file(1)), app);

    // Already in slot 1: skipped, the file is not rewritten.
    write_file(slot_file(1), Bytes(app.begin(), app.begin() + 16));
    ASSERT_EQ(install(app, 1, true), 0) << out_;
    EXPECT_EQ(read_file(slot_file(1)), Bytes(app.begin(), app.begin() + 16));
    // Another version is written.
    const Bytes newer = make_image(IMAGE_TYPE_APPLICATION, 3000, 1, 16, 0x01020305);
    ASSERT_EQ(install(newer, 1, true), 1) << out_;
    EXPECT_EQ(read_file(slot_file(1)), newer);
}

}  // namespace
