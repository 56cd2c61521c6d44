// The simulated board on its own: NOR flash rules, fault counting, the I2C
// bus model, waits, configuration texts and the environment.
#include "platform/sim/sim_board.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>

#include "platform/device_io.hpp"
#include "sim_test_support.hpp"

using sim_test::Bytes;
using Lines = std::vector<std::string>;
namespace dio = device_io;

namespace {

// A board with a 4-block kernel partition (4096-byte blocks) of known bytes.
struct SimBoard : sim_test::Board {
    Bytes kernel_before = sim_test::pattern(4 * 4096, 3);
    explicit SimBoard(const std::string& faults = "", const std::string& erase_size = "4096") {
        config.faults = faults;
        config.erase_size = erase_size;
        set_partition("kernel", kernel_before);
        set_partition("rfs", Bytes(4 * 4096, 0xFF));
        EXPECT_TRUE(apply());
    }
    int open_mtd(const char* name, int flags = O_RDWR) {
        return dio::mtd_open((std::string("/dev/mtd-") + name).c_str(), flags);
    }
};

TEST(SimFlash, OpenMapsDeviceToFile) {
    SimBoard board;
    struct Case {
        const char* path;
        bool opens;
    };
    const Case cases[] = {
        {"/dev/mtd-kernel", true}, {"/dev/mtd-rfs", true},   {"/dev/mtd-uboot", false},
        {"/dev/mtd-", false},      {"/dev/mtd-../kernel", false}, {"/dev/mtd0", false},
        {"kernel", false},
    };
    for (const Case& c : cases) {
        errno = 0;
        int fd = dio::mtd_open(c.path, O_RDWR | O_SYNC);
        EXPECT_EQ(fd >= 0, c.opens) << c.path;
        if (fd >= 0) {
            EXPECT_EQ(sim_board::mtd_open_flags(fd), O_RDWR | O_SYNC);
        } else {
            EXPECT_EQ(errno, ENOENT) << c.path;
        }
    }
}

TEST(SimFlash, GeometryFromFileAndConfiguredEraseSize) {
    SimBoard board("", "65536,rfs=1024");
    dio::MtdInfo info{};
    ASSERT_EQ(dio::mtd_get_info(board.open_mtd("kernel"), &info), 0);
    EXPECT_EQ(info.size, 4u * 4096);
    EXPECT_EQ(info.erasesize, 65536u);
    ASSERT_EQ(dio::mtd_get_info(board.open_mtd("rfs"), &info), 0);
    EXPECT_EQ(info.erasesize, 1024u);
    errno = 0;
    EXPECT_EQ(dio::mtd_get_info(-1, &info), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(SimFlash, EraseRules) {
    struct Case {
        std::uint32_t start;
        std::uint32_t length;
        int error;  // 0 = succeeds
    };
    const Case cases[] = {
        {0, 4096, 0},         {4096, 8192, 0}, {0, 16384, 0},   {12288, 4096, 0}, {4096, 0, 0},
        {100, 4096, EINVAL},  {0, 100, EINVAL}, {0, 4097, EINVAL}, {12288, 8192, EINVAL},
        {16384, 4096, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        SCOPED_TRACE(c.length);
        SimBoard board;
        int fd = board.open_mtd("kernel");
        errno = 0;
        EXPECT_EQ(dio::mtd_erase(fd, c.start, c.length), c.error == 0 ? 0 : -1);
        Bytes expected = board.kernel_before;
        if (c.error != 0) {
            EXPECT_EQ(errno, c.error);
        } else {
            std::fill(expected.begin() + c.start, expected.begin() + c.start + c.length, 0xFF);
        }
        EXPECT_EQ(board.partition("kernel"), expected);
    }
}

TEST(SimFlash, EraseWithZeroEraseSizeFails) {
    SimBoard board("", "0");
    errno = 0;
    EXPECT_EQ(dio::mtd_erase(board.open_mtd("kernel"), 0, 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(SimFlash, WritesMayOnlyClearBits) {
    SimBoard board;
    int fd = board.open_mtd("rfs");  // erased
    const std::uint8_t first[] = {0x0F, 0xF0, 0x00};
    EXPECT_EQ(dio::mtd_pwrite(fd, first, 3, 100), 3);
    const std::uint8_t clears[] = {0x07, 0x10, 0x00};
    EXPECT_EQ(dio::mtd_pwrite(fd, clears, 3, 100), 3);
    const std::uint8_t sets[] = {0x07, 0x30, 0x00};  // bit 0x20 at 101 would have to be set
    errno = 0;
    EXPECT_EQ(dio::mtd_pwrite(fd, sets, 3, 100), -1);
    EXPECT_EQ(errno, EIO);
    Bytes expected(4 * 4096, 0xFF);
    expected[100] = 0x07;
    expected[101] = 0x10;
    expected[102] = 0x00;
    EXPECT_EQ(board.partition("rfs"), expected);
    EXPECT_EQ(board.log_lines(), (Lines{"flash rfs write over unerased data at 0x65"}));

    // After an erase the same bytes can be written again.
    ASSERT_EQ(dio::mtd_erase(fd, 0, 4096), 0);
    EXPECT_EQ(dio::mtd_pwrite(fd, sets, 3, 100), 3);
}

TEST(SimFlash, WritesStopAtTheEnd) {
    SimBoard board;
    int fd = board.open_mtd("rfs");
    const std::uint8_t data[8] = {};
    EXPECT_EQ(dio::mtd_pwrite(fd, data, 8, 4 * 4096 - 3), 3);  // cut short
    errno = 0;
    EXPECT_EQ(dio::mtd_pwrite(fd, data, 8, 4 * 4096), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(board.partition("rfs").size(), 4u * 4096);
}

TEST(SimFlash, ReadOnlyHandleCannotEraseOrWrite) {
    SimBoard board;
    int fd = board.open_mtd("rfs", O_RDONLY);
    const std::uint8_t data[1] = {0};
    errno = 0;
    EXPECT_EQ(dio::mtd_pwrite(fd, data, 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(dio::mtd_erase(fd, 0, 4096), -1);
    EXPECT_EQ(errno, EBADF);
}

// The Nth request of one kind on one partition fails once; other kinds and
// other partitions count on their own.
TEST(SimFlash, FaultCounting) {
    SimBoard board("flash:kernel:erase:2,flash:kernel:erase:4,flash:kernel:read:1,flash:rfs:write:3");
    int kernel = board.open_mtd("kernel");
    int rfs = board.open_mtd("rfs");
    int kernel_again = board.open_mtd("kernel");
    std::uint8_t buf[4] = {};
    const std::uint8_t zero[1] = {0};

    EXPECT_EQ(dio::mtd_erase(rfs, 0, 4096), 0);  // rfs erases do not count for kernel
    int erase_results[5];
    erase_results[0] = dio::mtd_erase(kernel, 0, 4096);
    errno = 0;
    erase_results[1] = dio::mtd_erase(kernel_again, 0, 4096);  // per partition, not per handle
    EXPECT_EQ(errno, EIO);
    erase_results[2] = dio::mtd_erase(kernel, 0, 4096);
    erase_results[3] = dio::mtd_erase(kernel, 0, 4096);
    erase_results[4] = dio::mtd_erase(kernel, 0, 4096);
    EXPECT_EQ(erase_results[0], 0);
    EXPECT_EQ(erase_results[1], -1);
    EXPECT_EQ(erase_results[2], 0);
    EXPECT_EQ(erase_results[3], -1);
    EXPECT_EQ(erase_results[4], 0);

    EXPECT_EQ(dio::mtd_pread(kernel, buf, 4, 0), -1);
    EXPECT_EQ(dio::mtd_pread(kernel, buf, 4, 0), 4);
    EXPECT_EQ(dio::mtd_pread(rfs, buf, 4, 0), 4);

    EXPECT_EQ(dio::mtd_pwrite(rfs, zero, 1, 0), 1);
    EXPECT_EQ(dio::mtd_pwrite(rfs, zero, 1, 1), 1);
    EXPECT_EQ(dio::mtd_pwrite(rfs, zero, 1, 2), -1);
    EXPECT_EQ(dio::mtd_pwrite(rfs, zero, 1, 3), 1);

    sim_board::FlashCounts counts = sim_board::flash_counts();
    EXPECT_EQ(counts.erase, 6u);
    EXPECT_EQ(counts.read, 3u);
    EXPECT_EQ(counts.write, 4u);

    // A new configuration starts counting again.
    ASSERT_TRUE(board.apply());
    kernel = board.open_mtd("kernel");
    EXPECT_EQ(dio::mtd_pread(kernel, buf, 4, 0), -1);
    EXPECT_EQ(sim_board::flash_counts().read, 1u);
}

TEST(SimI2c, SlotDeviceAnswersOnlyThroughChannelSix) {
    struct Case {
        std::uint8_t mask;
        bool answers;
    };
    const Case cases[] = {{0x00, false}, {0x40, true}, {0x20, false}, {0xFF, true}, {0xBF, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.mask});
        sim_test::Board board;
        board.config.time_scale = 0;
        ASSERT_TRUE(board.apply());
        int fd = dio::i2c_open("/dev/i2c-0");
        ASSERT_GE(fd, 0);
        ASSERT_EQ(dio::i2c_set_target(fd, 0x71), 0);
        ASSERT_EQ(dio::i2c_write_byte(fd, c.mask), 0);
        ASSERT_EQ(dio::i2c_set_target(fd, 0x54), 0);
        errno = 0;
        EXPECT_EQ(dio::i2c_smbus_write_byte_data(fd, 5, 0x22), c.answers ? 0 : -1);
        if (!c.answers) {
            EXPECT_EQ(errno, ENXIO);
        }
        EXPECT_EQ(dio::i2c_smbus_read_byte_data(fd, 5), c.answers ? 0x22 : -1);
        dio::i2c_close(fd);
    }
}

TEST(SimI2c, BusLogAndDevices) {
    sim_test::Board board;
    ASSERT_TRUE(board.apply());
    int bus0 = dio::i2c_open("/dev/i2c-0");
    int bus1 = dio::i2c_open("/dev/i2c-1");
    ASSERT_GE(bus0, 0);
    ASSERT_GE(bus1, 0);
    EXPECT_EQ(dio::i2c_open("/dev/i2c-2"), -1);
    EXPECT_EQ(dio::i2c_set_target(bus0, 0x4F), 0);
    EXPECT_EQ(dio::i2c_smbus_write_byte_data(bus0, 0x87, 0x55), 0);
    EXPECT_EQ(dio::i2c_smbus_read_byte_data(bus0, 0x87), 0x55);
    EXPECT_EQ(dio::i2c_set_target(bus0, 0x80), -1);  // no such 7-bit address: not logged
    EXPECT_EQ(dio::i2c_set_target(bus0, 0x54), 0);
    EXPECT_EQ(dio::i2c_smbus_read_byte_data(bus0, 0), -1);  // mux not routed
    EXPECT_EQ(dio::i2c_set_target(bus1, 0x71), 0);
    EXPECT_EQ(dio::i2c_write_byte(bus1, 0x40), -1);  // bus 1 has no devices
    EXPECT_EQ(dio::i2c_set_target(-1, 0x71), -1);    // not a bus: not logged
    dio::wait_microseconds(100000);
    dio::wait_seconds(1);
    EXPECT_EQ(dio::i2c_close(bus0), 0);
    EXPECT_EQ(dio::i2c_close(bus0), -1);  // already closed: not logged
    EXPECT_EQ(dio::i2c_close(bus1), 0);
    EXPECT_EQ(board.log_lines(), (Lines{
                                     "open /dev/i2c-0",
                                     "open /dev/i2c-1",
                                     "open /dev/i2c-2 failed",
                                     "target 0x4f",
                                     "smbus-write 0x4f reg 0x87 0x55",
                                     "smbus-read 0x4f reg 0x87 -> 0x55",
                                     "target 0x54",
                                     "smbus-read 0x54 reg 0x00 failed",
                                     "target 0x71",
                                     "write 0x71 0x40 failed",
                                     "wait 100000us",
                                     "wait 1s",
                                     "close /dev/i2c-0",
                                     "close /dev/i2c-1",
                                 }));
}

TEST(SimI2c, RegisterFileCreatedAndKept) {
    sim_test::Board board;
    ASSERT_TRUE(board.apply());
    int fd = dio::i2c_open("/dev/i2c-0");
    dio::i2c_set_target(fd, 0x71);
    dio::i2c_write_byte(fd, 0x40);
    dio::i2c_set_target(fd, 0x54);
    EXPECT_EQ(dio::i2c_smbus_read_byte_data(fd, 0x3A), 0);
    EXPECT_EQ(sim_test::read_file(board.config.slot_register), Bytes(256, 0));
    EXPECT_EQ(dio::i2c_smbus_write_byte_data(fd, 0xFF, 9), 0);
    Bytes expected(256, 0);
    expected[0xFF] = 9;
    EXPECT_EQ(sim_test::read_file(board.config.slot_register), expected);
    dio::i2c_close(fd);
}

TEST(SimI2c, RegisterFaultsHitOnlyTheirRegister) {
    sim_test::Board board;
    board.config.faults = "i2c:write:0x3a,i2c:read:7";
    ASSERT_TRUE(board.apply());
    int fd = dio::i2c_open("/dev/i2c-0");
    dio::i2c_set_target(fd, 0x71);
    dio::i2c_write_byte(fd, 0x40);
    dio::i2c_set_target(fd, 0x54);
    errno = 0;
    EXPECT_EQ(dio::i2c_smbus_write_byte_data(fd, 0x3A, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(dio::i2c_smbus_write_byte_data(fd, 0x3A, 1), -1);  // every time
    EXPECT_EQ(dio::i2c_smbus_write_byte_data(fd, 7, 3), 0);
    EXPECT_EQ(dio::i2c_smbus_read_byte_data(fd, 7), -1);
    EXPECT_EQ(dio::i2c_smbus_read_byte_data(fd, 0x3A), 0);
    dio::i2c_close(fd);
}

TEST(SimConfig, TextsThatDoNotParse) {
    struct Case {
        const char* erase_size;
        const char* faults;
        double scale;
        bool ok;
    };
    const Case cases[] = {
        {"65536", "", 1, true},
        {"0x10000,kernel=131072,rfs=0x4000", "", 1, true},
        {"65536", "flash:kernel:read:1,i2c:nobus,i2c:write:58,i2c:read:0xff,", 0.01, true},
        {"", "", 1, false},
        {"64k", "", 1, false},
        {"65536,=4096", "", 1, false},
        {"65536,kernel=", "", 1, false},
        {"4294967296", "", 1, false},
        {"-1", "", 1, false},
        {"65536", "flash:kernel:read:0", 1, false},
        {"65536", "flash:kernel:format:1", 1, false},
        {"65536", "flash::read:1", 1, false},
        {"65536", "i2c:write:256", 1, false},
        {"65536", "i2c:everything", 1, false},
        {"65536", "disk:nobus", 1, false},
        {"65536", "", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.erase_size);
        SCOPED_TRACE(c.faults);
        sim_test::Board board;
        board.config.erase_size = c.erase_size;
        board.config.faults = c.faults;
        board.config.time_scale = c.scale;
        EXPECT_EQ(sim_board::configure(board.config), c.ok);
    }
}

TEST(SimConfig, FailedConfigureChangesNothing) {
    SimBoard board("", "8192");
    sim_board::Config bad = board.config;
    bad.erase_size = "nonsense";
    bad.flash_dir = "/nonexistent";
    int fd = board.open_mtd("kernel");
    EXPECT_FALSE(sim_board::configure(bad));
    dio::MtdInfo info{};
    ASSERT_EQ(dio::mtd_get_info(fd, &info), 0);  // the handle is still open
    EXPECT_EQ(info.erasesize, 8192u);
}

TEST(SimConfig, ReadFromTheEnvironment) {
    sim_test::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("flash").c_str(), 0755), 0);
    sim_test::write_file(dir.file("flash/kernel.bin"), Bytes(8192, 0xFF));
    ::setenv("SLOTBOOT_SIM_FLASH_DIR", dir.file("flash").c_str(), 1);
    ::setenv("SLOTBOOT_SIM_ERASE_SIZE", "1024,kernel=2048", 1);
    ::setenv("SLOTBOOT_SIM_SLOT_REGISTER", dir.file("reg.bin").c_str(), 1);
    ::setenv("SLOTBOOT_SIM_BUS_LOG", dir.file("bus.log").c_str(), 1);
    ::setenv("SLOTBOOT_SIM_TIME_SCALE", "0", 1);
    ::setenv("SLOTBOOT_SIM_FAULTS", "i2c:nobus,flash:kernel:read:1", 1);
    sim_board::reset();

    int fd = dio::mtd_open("/dev/mtd-kernel", O_RDWR);
    dio::MtdInfo info{};
    EXPECT_EQ(dio::mtd_get_info(fd, &info), 0);
    EXPECT_EQ(info.erasesize, 2048u);
    std::uint8_t byte = 0;
    EXPECT_EQ(dio::mtd_pread(fd, &byte, 1, 0), -1);
    EXPECT_EQ(dio::i2c_open("/dev/i2c-0"), -1);
    dio::wait_seconds(5);  // scale 0: no waiting
    EXPECT_EQ(sim_test::read_text(dir.file("bus.log")), "open /dev/i2c-0 failed\nwait 5s\n");

    // A value that does not parse falls back to its default, with a complaint.
    ::setenv("SLOTBOOT_SIM_ERASE_SIZE", "big", 1);
    ::setenv("SLOTBOOT_SIM_FAULTS", "", 1);
    bool ok = true;
    sim_board::Config config = sim_board::config_from_environment(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(config.erase_size, "65536");
    EXPECT_EQ(config.faults, "");
    EXPECT_EQ(config.bus_log, dir.file("bus.log"));
    EXPECT_EQ(config.time_scale, 0.0);

    const char* names[] = {"SLOTBOOT_SIM_FLASH_DIR", "SLOTBOOT_SIM_ERASE_SIZE", "SLOTBOOT_SIM_SLOT_REGISTER",
                           "SLOTBOOT_SIM_BUS_LOG",   "SLOTBOOT_SIM_TIME_SCALE", "SLOTBOOT_SIM_FAULTS"};
    for (const char* name : names) ::unsetenv(name);
    config = sim_board::config_from_environment(&ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(config.flash_dir, "/sim/flash");
    EXPECT_EQ(config.slot_register, "/sim/slot-register.bin");
    EXPECT_EQ(config.bus_log, "");
    EXPECT_EQ(config.time_scale, 1.0);
    sim_board::reset();
}

}  // namespace
