// Tests of the installed-header lookup, the same-version test and the version
// report, on the simulated board's flash files and a directory of slot files.
#include "image/installed_headers.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/flash.hpp"

namespace {

using Bytes16 = std::vector<std::uint8_t>;

constexpr std::size_t PARTITION_SIZE = 65536;
constexpr std::size_t SHORT_RESCUE_SIZE = 8;  // too short to hold a header

std::string board_dir;

std::string flash_file(const char* name) {
    return board_dir + "/flash/" + name + ".bin";
}

std::string slot_dir() {
    return board_dir + "/images";
}

Bytes16 header_bytes(std::uint32_t crc, std::uint32_t len, std::uint32_t magic,
                     std::uint32_t id) {
    Bytes16 h(16);
    store_be32(h.data(), crc);
    store_be32(h.data() + 4, len);
    store_be32(h.data() + 8, magic);
    store_be32(h.data() + 12, id);
    return h;
}

void write_at(const std::string& path, std::size_t offset, const Bytes16& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f) << path;
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f) << path;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f) << path;
}

void write_slot(int slot, const std::vector<std::uint8_t>& bytes) {
    write_file(slot_dir() + "/image" + std::to_string(slot), bytes);
}

void remove_slot(int slot) {
    std::remove((slot_dir() + "/image" + std::to_string(slot)).c_str());
}

// An erased board in a fresh directory; the loader's flash handles opened on it.
class SimBoard : public testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/installed_headers.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        board_dir = pattern;
        ASSERT_EQ(std::system(("mkdir -p " + board_dir + "/flash " + slot_dir()).c_str()), 0);
        for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs"}) {
            write_file(flash_file(name), std::vector<std::uint8_t>(PARTITION_SIZE, 0xFF));
        }
        write_file(flash_file("rescue"), std::vector<std::uint8_t>(SHORT_RESCUE_SIZE, 0xFF));
        setenv("SLOTBOOT_SIM_FLASH_DIR", (board_dir + "/flash").c_str(), 1);
        setenv("SLOTBOOT_SIM_SLOT_REGISTER", (board_dir + "/slot-register.bin").c_str(), 1);
        setenv("SLOTBOOT_SIM_TIME_SCALE", "0", 1);
        open_flash_partitions();
    }
    void TearDown() override {
        std::system(("rm -rf " + board_dir).c_str());
    }
};

const auto* const board = testing::AddGlobalTestEnvironment(new SimBoard);

// ---- read_installed_header ---------------------------------------------------

struct FlashPlaceCase {
    const char* name;
    std::uint32_t type;
    const char* partition;
    std::size_t offset;
};

const FlashPlaceCase FLASH_PLACES[] = {
    {"boot_loader_copy_at_240", IMAGE_TYPE_BOOTLOADER, "uboot", 240},
    {"kernel", IMAGE_TYPE_KERNEL, "kernel", 0},
    {"root_filesystem", IMAGE_TYPE_ROOTFS, "rfs", 0},
    {"device_tree", IMAGE_TYPE_DEVICETREE, "devicetree", 0},
};

class FlashPlace : public testing::TestWithParam<FlashPlaceCase> {};

TEST_P(FlashPlace, ReadsTheHeaderWhereTheTypeKeepsIt) {
    const FlashPlaceCase& c = GetParam();
    const Bytes16 stored = header_bytes(0x11223344, 0x1000, c.type, 0x01020304);
    write_at(flash_file(c.partition), c.offset, stored);
    Bytes16 out(16, 0xAA);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), c.type, out.data(), 1), 1);
    EXPECT_EQ(out, stored);
    // The product entry reads the same flash.
    Bytes16 product(16, 0xAA);
    EXPECT_EQ(read_installed_header(c.type, product.data(), 0), 1);
    EXPECT_EQ(product, stored);
}

INSTANTIATE_TEST_SUITE_P(Types, FlashPlace, testing::ValuesIn(FLASH_PLACES),
                         [](const testing::TestParamInfo<FlashPlaceCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ReadInstalledHeader, BootLoaderIsNotReadAtOffsetZero) {
    write_at(flash_file("uboot"), 0, header_bytes(1, 2, IMAGE_TYPE_BOOTLOADER, 0x09090909));
    write_at(flash_file("uboot"), 240, header_bytes(5, 6, IMAGE_TYPE_BOOTLOADER, 0x02000001));
    Bytes16 out(16);
    ASSERT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_BOOTLOADER, out.data(), 0),
              1);
    EXPECT_EQ(load_be32(out.data() + 12), 0x02000001u);
}

TEST(ReadInstalledHeader, UnreadablePartitionGivesZeros) {
    // The rescue partition is shorter than a header.
    Bytes16 out(16, 0xAA);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_DIAGNOSTICS, out.data(), 0),
              1);
    EXPECT_EQ(out, Bytes16(16, 0));
}

TEST(ReadInstalledHeader, ApplicationFromTheSlotFileOfTheSlot) {
    const Bytes16 one = header_bytes(0xA1, 0x20, IMAGE_TYPE_APPLICATION, 0x01000001);
    const Bytes16 two = header_bytes(0xA2, 0x20, IMAGE_TYPE_APPLICATION, 0x01000002);
    std::vector<std::uint8_t> file_one(one);
    file_one.resize(64, 0x5A);  // the payload follows the header
    write_slot(1, file_one);
    write_slot(2, two);
    Bytes16 out(16, 0xAA);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_APPLICATION, out.data(), 1),
              1);
    EXPECT_EQ(out, one);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_APPLICATION, out.data(), 2),
              1);
    EXPECT_EQ(out, two);
}

TEST(ReadInstalledHeader, MissingSlotFileGivesZeroAndClearedBuffer) {
    remove_slot(2);
    Bytes16 out(16, 0xAA);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_APPLICATION, out.data(), 2),
              0);
    EXPECT_EQ(out, Bytes16(16, 0));
}

TEST(ReadInstalledHeader, ShortSlotFileLeavesTheRestZero) {
    write_slot(1, {1, 2, 3, 4, 5});
    Bytes16 out(16, 0xAA);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_APPLICATION, out.data(), 1),
              1);
    Bytes16 expected(16, 0);
    for (int i = 0; i < 5; ++i) expected[i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(out, expected);
}

TEST(ReadInstalledHeader, UnknownTypesAreMatchedExactly) {
    for (const std::uint32_t type :
         {0x074F5249u, 0x00000000u, IMAGE_TYPE_KERNEL | IMAGE_EXTENDED_FLAG}) {
        SCOPED_TRACE(type);
        Bytes16 out(16, 0xAA);
        testing::internal::CaptureStdout();
        const int result = read_installed_header_in(slot_dir().c_str(), type, out.data(), 1);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(out, Bytes16(16, 0));
        char expected[64];
        std::snprintf(expected, sizeof expected, "Unknown image type 0x%x \n", type);
        EXPECT_EQ(printed, expected);
    }
}

TEST(ReadInstalledHeader, NullBufferTouchesNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), 0x074F5249u, nullptr, 1), 0);
    EXPECT_EQ(read_installed_header_in(slot_dir().c_str(), IMAGE_TYPE_KERNEL, nullptr, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- same_as_installed -------------------------------------------------------

struct SameCase {
    const char* name;
    const char* partition;  // nullptr: slot 1 file
    std::size_t offset;
    Bytes16 installed;
    Bytes16 offered;
    int expected;
};

constexpr std::uint32_t FLAG = IMAGE_EXTENDED_FLAG;

const SameCase SAME_CASES[] = {
    {"boot_loader_identical", "uboot", 240,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020304),
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020304), 1},
    {"boot_loader_crc_ignored", "uboot", 240,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020304),
     header_bytes(0xDEADBEEF, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020304), 1},
    {"boot_loader_id_differs", "uboot", 240,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020304),
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020305), 0},
    {"boot_loader_len_differs", "uboot", 240,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER, 0x01020304),
     header_bytes(0xC0, 0x4001, IMAGE_TYPE_BOOTLOADER, 0x01020304), 0},
    {"boot_loader_layout2_crc_ignored", "uboot", 240,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_BOOTLOADER | FLAG, 0x01020304),
     header_bytes(0xC1, 0x4000, IMAGE_TYPE_BOOTLOADER | FLAG, 0x01020304), 1},
    {"kernel_identical", "kernel", 0, header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL, 0x01020304),
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL, 0x01020304), 1},
    {"kernel_crc_differs", "kernel", 0,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL, 0x01020304),
     header_bytes(0xC1, 0x4000, IMAGE_TYPE_KERNEL, 0x01020304), 0},
    {"kernel_layout2_found", "kernel", 0,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL | FLAG, 0x01020304),
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL | FLAG, 0x01020304), 1},
    {"kernel_flag_differs", "kernel", 0,
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL, 0x01020304),
     header_bytes(0xC0, 0x4000, IMAGE_TYPE_KERNEL | FLAG, 0x01020304), 0},
    {"rfs_crc_differs", "rfs", 0, header_bytes(0xC0, 0x4000, IMAGE_TYPE_ROOTFS, 0x01020304),
     header_bytes(0xC1, 0x4000, IMAGE_TYPE_ROOTFS, 0x01020304), 0},
    {"device_tree_identical", "devicetree", 0,
     header_bytes(7, 0x100, IMAGE_TYPE_DEVICETREE, 0x05000000),
     header_bytes(7, 0x100, IMAGE_TYPE_DEVICETREE, 0x05000000), 1},
    {"application_identical", nullptr, 0,
     header_bytes(0xAB, 0x9000, IMAGE_TYPE_APPLICATION, 0x03000000),
     header_bytes(0xAB, 0x9000, IMAGE_TYPE_APPLICATION, 0x03000000), 1},
    {"application_crc_differs", nullptr, 0,
     header_bytes(0xAB, 0x9000, IMAGE_TYPE_APPLICATION, 0x03000000),
     header_bytes(0xAC, 0x9000, IMAGE_TYPE_APPLICATION, 0x03000000), 0},
};

void PrintTo(const SameCase& c, std::ostream* os) {
    *os << c.name;
}

class SameAsInstalled : public testing::TestWithParam<SameCase> {};

TEST_P(SameAsInstalled, Compares) {
    const SameCase& c = GetParam();
    if (c.partition != nullptr) {
        write_at(flash_file(c.partition), c.offset, c.installed);
    } else {
        write_slot(1, c.installed);
    }
    EXPECT_EQ(same_as_installed_in(slot_dir().c_str(), c.offered.data(), 1), c.expected);
    if (c.partition != nullptr) {
        EXPECT_EQ(same_as_installed(c.offered.data(), 1), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, SameAsInstalled, testing::ValuesIn(SAME_CASES),
                         [](const testing::TestParamInfo<SameCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(SameAsInstalledLookup, MissingSlotFileCountsAsDifferent) {
    remove_slot(2);
    const Bytes16 zeros_like = header_bytes(0, 0, IMAGE_TYPE_APPLICATION, 0);
    EXPECT_EQ(same_as_installed_in(slot_dir().c_str(), zeros_like.data(), 2), 0);
}

TEST(SameAsInstalledLookup, UnknownTypeCountsAsDifferent) {
    const Bytes16 unknown = header_bytes(0, 0, 0x074F5249, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(same_as_installed_in(slot_dir().c_str(), unknown.data(), 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x74f5249 \n");
}

TEST(SameAsInstalledLookup, NullHeader) {
    EXPECT_EQ(same_as_installed_in(slot_dir().c_str(), nullptr, 1), 0);
}

// ---- show_installed_versions -------------------------------------------------

TEST(ShowInstalledVersions, ExactReport) {
    write_at(flash_file("uboot"), 240, header_bytes(1, 2, IMAGE_TYPE_BOOTLOADER, 0x01FF0A00));
    write_at(flash_file("rfs"), 0, header_bytes(1, 2, IMAGE_TYPE_ROOTFS, 0x02000001));
    write_at(flash_file("kernel"), 0, header_bytes(1, 2, IMAGE_TYPE_KERNEL, 0x03040506));
    write_at(flash_file("devicetree"), 0, header_bytes(1, 2, IMAGE_TYPE_DEVICETREE, 0xFFFFFFFF));
    write_slot(1, header_bytes(1, 2, IMAGE_TYPE_APPLICATION, 0x0A0B0C0D));
    remove_slot(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(show_installed_versions_in(slot_dir().c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Installed images versions: \n"
              "\tBoot image  : 1.255.10.0\n"
              "\tRFS image   : 2.0.0.1\n"
              "\tKernel image: 3.4.5.6\n"
              "\tDFT image   : 255.255.255.255\n"
              "\tOS image 1  : 10.11.12.13\n"
              "\tOS image 2  : 0.0.0.0\n");
}

TEST(ShowInstalledVersions, BothSlotsPresent) {
    write_slot(1, header_bytes(1, 2, IMAGE_TYPE_APPLICATION, 0x01000000));
    write_slot(2, header_bytes(1, 2, IMAGE_TYPE_APPLICATION, 0x00000002));
    testing::internal::CaptureStdout();
    show_installed_versions_in(slot_dir().c_str());
    const std::string report = testing::internal::GetCapturedStdout();
    EXPECT_NE(report.find("\tOS image 1  : 1.0.0.0\n\tOS image 2  : 0.0.0.2\n"),
              std::string::npos)
        << report;
}

}  // namespace
