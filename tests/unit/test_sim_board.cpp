// The simulated board on its own: the NOR write rule and fault counting,
// which the flash and image tests rely on.
#include "platform/sim/sim_board.hpp"

#include <cerrno>
#include <fcntl.h>

#include "platform/device_io.hpp"
#include "sim_test_support.hpp"

namespace dio = device_io;

// A write may only clear bits until its block is erased; the Nth request of
// one kind on one partition fails, counted per partition, not per handle.
TEST(SimFlash, NorRuleAndFaultCounting) {
    sim_test::Board board;
    board.config.erase_size = "4096";
    board.config.faults = "flash:kernel:erase:2,flash:kernel:read:1,flash:rfs:noerase:2";
    for (const char* name : {"kernel", "rfs"}) board.set_partition(name, sim_test::Bytes(8192, 0xFF));
    ASSERT_TRUE(board.apply());
    int rfs = dio::mtd_open("/dev/mtd-rfs", O_RDWR);
    const std::uint8_t first[] = {0x0F, 0xF0}, sets[] = {0x0F, 0xF8};  // 0x08 at 0x65 must be set
    EXPECT_EQ(dio::mtd_pwrite(rfs, first, 2, 100), 2);
    errno = 0;
    EXPECT_EQ(dio::mtd_pwrite(rfs, sets, 2, 100), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(board.partition("rfs")[101], 0xF0);
    EXPECT_EQ(board.bus_log(), "flash rfs write over unerased data at 0x65\n");
    ASSERT_EQ(dio::mtd_erase(rfs, 0, 4096), 0);  // does not count for the kernel
    EXPECT_EQ(dio::mtd_pwrite(rfs, sets, 2, 100), 2);
    EXPECT_EQ(dio::mtd_erase(rfs, 0, 4096), 0);  // the second: reported done, erases nothing
    EXPECT_EQ(board.partition("rfs")[100], 0x0F);

    int kernel = dio::mtd_open("/dev/mtd-kernel", O_RDWR), again = dio::mtd_open("/dev/mtd-kernel", O_RDWR);
    std::uint8_t buf[4];
    EXPECT_EQ(dio::mtd_erase(kernel, 0, 4096), 0);
    EXPECT_EQ(dio::mtd_erase(again, 0, 4096), -1);
    EXPECT_EQ(dio::mtd_erase(kernel, 0, 4096), 0);
    EXPECT_EQ(dio::mtd_pread(kernel, buf, 4, 0), -1);
    EXPECT_EQ(dio::mtd_pread(kernel, buf, 4, 0), 4);
    EXPECT_EQ(sim_board::flash_counts().erase, 5u);
}
