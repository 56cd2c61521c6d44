// Tests of the installed-header lookup and the same-version test on simulated flash and slot files.
#include "image/installed_headers.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/flash.hpp"
#include "platform/switch_paths.hpp"

namespace {

using Header = std::vector<std::uint8_t>;
constexpr std::uint32_t BOOT = IMAGE_TYPE_BOOTLOADER, KERNEL = IMAGE_TYPE_KERNEL, FLAG = IMAGE_EXTENDED_FLAG;
std::string dir, slots;  // of the board (flash/) and of its slot files (user/images under it)

Header header(std::uint32_t crc, std::uint32_t magic, std::uint32_t id = 0x01020304) {
    Header h(16);
    const std::uint32_t words[] = {crc, 0x4000, magic, id};
    for (int i = 0; i < 4; ++i) store_be32(h.data() + 4 * i, words[i]);
    return h;
}

// Writes `h` into a partition at an offset, or (partition null) into the slot file of slot 1.
void put(const char* partition, std::size_t offset, const Header& h) {
    std::fstream f(partition ? dir + "/flash/" + partition + ".bin" : slots + "/image1",
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(h.data()), 16);
    ASSERT_TRUE(f);
}

// An erased board in a fresh directory; the loader's flash handles opened on it.
struct SimBoard : testing::Environment {
    void SetUp() override {
        char pattern[] = "/tmp/installed_headers.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        slots = dir + "/user/images";
        set_path_root_for_testing(dir);
        ASSERT_EQ(std::system(("mkdir -p " + dir + "/flash " + slots + "; touch " + slots + "/image1").c_str()), 0);
        for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            std::ofstream(dir + "/flash/" + name + ".bin") << std::string(65536, '\xff');
        }
        setenv("SLOTBOOT_SIM_FLASH_DIR", (dir + "/flash").c_str(), 1);
        setenv("SLOTBOOT_SIM_TIME_SCALE", "0", 1);
        open_flash_partitions();
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
};
const auto* const board = testing::AddGlobalTestEnvironment(new SimBoard);

// Each header is read where its type keeps it (the boot loader's copy at byte 240). The boot loader is
// compared without its crc word, the others with it; a layout-2 header finds the installed one.
TEST(InstalledHeaders, LookupAndComparison) {
    const struct { const char* partition; std::size_t offset; Header installed, offered; int same; } rows[] = {
        {"uboot", 240, header(0xC0, BOOT), header(0xC1, BOOT), 1},
        {"uboot", 240, header(0xC0, BOOT | FLAG), header(0xC1, BOOT | FLAG), 1},
        {"uboot", 240, header(0xC0, BOOT), header(0xC0, BOOT, 5), 0},
        {"kernel", 0, header(0xC0, KERNEL), header(0xC1, KERNEL), 0},
        {"kernel", 0, header(0xC0, KERNEL | FLAG), header(0xC0, KERNEL | FLAG), 1},
        {"kernel", 0, header(0xC0, KERNEL), header(0xC0, KERNEL | FLAG), 0},
        {"rfs", 0, header(0xC0, IMAGE_TYPE_ROOTFS), header(0xC0, IMAGE_TYPE_ROOTFS), 1},
        {"devicetree", 0, header(7, IMAGE_TYPE_DEVICETREE), header(7, IMAGE_TYPE_DEVICETREE), 1},
        {"rescue", 0, header(7, IMAGE_TYPE_DIAGNOSTICS), header(8, IMAGE_TYPE_DIAGNOSTICS), 0},
        {nullptr, 0, header(0xAB, IMAGE_TYPE_APPLICATION), header(0xAB, IMAGE_TYPE_APPLICATION), 1},
        {nullptr, 0, header(0xAB, IMAGE_TYPE_APPLICATION), header(0xAC, IMAGE_TYPE_APPLICATION), 0},
    };
    put("uboot", 0, header(1, BOOT, 0x09090909));
    for (const auto& r : rows) {
        put(r.partition, r.offset, r.installed);
        Header got(16, 0xAA);
        EXPECT_EQ(read_installed_header(load_be32(r.installed.data() + 8) & ~FLAG, got.data(), 1), 1);
        EXPECT_EQ(got, r.installed);
        EXPECT_EQ(same_as_installed(r.offered.data(), 1), r.same);
    }
}

// A missing slot file and an unknown type read as zeros.
TEST(InstalledHeaders, MissingSlotFileAndUnknownType) {
    Header missing(16, 0xAA), unknown(16, 0xAA);
    EXPECT_EQ(read_installed_header(IMAGE_TYPE_APPLICATION, missing.data(), 2), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_installed_header(KERNEL | FLAG, unknown.data(), 1), 0);
    EXPECT_EQ(same_as_installed(header(0, 0x074F5249).data(), 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unknown image type 0x834f5249 \nUnknown image type 0x74f5249 \n");
    EXPECT_EQ(missing, Header(16, 0));
    EXPECT_EQ(unknown, Header(16, 0));
}

}  // namespace
