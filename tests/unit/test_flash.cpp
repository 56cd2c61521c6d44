// Flash partitions on the simulated NOR board: open flags, the block rewrite, progress, failures, refusals.
#include "platform/flash.hpp"

#include <algorithm>
#include <fcntl.h>

#include "sim_test_support.hpp"

using namespace sim_test;

namespace {

// Six partitions of 32 KiB of known bytes.
struct FlashBoard : Board {
    Bytes before = pattern(32768, 1);
    explicit FlashBoard(std::uint32_t erase_size, const std::string& faults = "") {
        config.erase_size = std::to_string(erase_size);
        config.faults = faults;
        for (auto name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) set_partition(name, before);
        EXPECT_TRUE(apply());
        EXPECT_EQ(open_flash_partitions(), 1);
    }
    int kernel() const { return flash_handle(FlashPartition::kernel); }
};

TEST(Flash, OpenFlags) {
    FlashBoard board(4096);
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i)  // only the rescue partition is written without O_SYNC
        EXPECT_EQ(sim_board::mtd_open_flags(flash_handle(FlashPartition(i))), i == 5 ? O_RDWR : O_RDWR | O_SYNC);
}

// Only the touched blocks are read, erased and rewritten (in 1024-byte pieces); nothing else changes.
TEST(Flash, WriteRewritesTouchedBlocks) {
    const struct { std::uint32_t offset, length; bool progress; unsigned long blocks; const char* output; } cases[] = {
        {4096 + 100, 200, false, 1, ""},                               // inside one block
        {4096 + 1000, 4 * 4096 + 2000 - (4096 + 1000), false, 4, ""},  // mid block 1 to mid block 4
        {0, 4 * 4096, true, 4, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
        {8192, 0, true, 0, "     \b\b\b\b100%\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        FlashBoard board(4096);
        Bytes data = pattern(c.length, 99), expected = board.before;
        std::copy(data.begin(), data.end(), expected.begin() + c.offset);
        StdoutCapture out;
        EXPECT_EQ(flash_write(data.data(), board.kernel(), c.offset, c.length, c.progress), 0);
        EXPECT_EQ(out.finish(), c.output);
        EXPECT_EQ(board.partition("kernel"), expected);
        sim_board::FlashCounts n = sim_board::flash_counts();
        EXPECT_EQ((std::vector<unsigned long>{n.read, n.erase, n.write}),
                  (std::vector<unsigned long>{c.blocks, c.blocks, c.blocks * 4}));
    }
}

// Three blocks at 0, failing in the second: block 0 new, block 1 partly new (0xFF if erased), block 2 old.
TEST(Flash, WriteFailsInTheSecondOfThreeBlocks) {
    const struct { const char* fault; bool progress; const char* output; std::uint32_t new_in_block_1; } cases[] = {
        {"flash:kernel:erase:2", false, "Flash Write mtd erase failed.\n\n", 0},
        {"flash:kernel:erase:2", true, "     \b\b\b\b000%Flash Write mtd erase failed.\n\n", 0},
        {"flash:kernel:read:2", false, "Flash Write mtd read failed.\n\n", 0},
        {"flash:kernel:write:6", false, "Flash Write mtd write failed.\n\n", 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        FlashBoard board(4096, c.fault);
        Bytes data = pattern(3 * 4096, 77), expected = board.before;
        StdoutCapture out;
        EXPECT_EQ(flash_write(data.data(), board.kernel(), 0, 3 * 4096, c.progress), -1);
        EXPECT_EQ(out.finish(), c.output);
        std::copy(data.begin(), data.begin() + 4096, expected.begin());
        if (c.new_in_block_1 != 0) std::fill(expected.begin() + 4096, expected.begin() + 8192, 0xFF);
        std::copy(data.begin() + 4096, data.begin() + 4096 + c.new_in_block_1, expected.begin() + 4096);
        EXPECT_EQ(board.partition("kernel"), expected);
    }
}

// Refused with a message before any I/O: failed geometry query, partition not open, odd erase size, range past end.
TEST(Flash, RefusedBeforeAnyIo) {
    const char *info = "Could not get MTD device info \n", *bad_es = "Flash Write unsupported erase size.\n";
    const char *past_w = "Flash Write range past end of partition.\n";
    const char *past_r = "Flash Read range past end of partition.\n";
    // op: 'w' write, 'r' read, '-' write on a partition that did not open
    const struct { std::uint32_t es; const char* fault; char op; std::uint32_t offset, length; const char* out; }
        cases[] = {
        {4096, "flash:kernel:info:1", 'w', 0, 4096, info}, {4096, "flash:kernel:info:1", 'r', 0, 8, info},
        {4096, "", '-', 0, 4096, info},                    {0, "", 'w', 0, 16, bad_es},
        {512, "", 'w', 0, 16, bad_es},                     {3072, "", 'w', 0, 0, bad_es},
        {0x80000400u, "", 'w', 0, 16, bad_es},             {4096, "", 'w', 32768 - 10, 11, past_w},
        {4096, "", 'w', 32769, 0, past_w},                 {4096, "", 'w', 0xFFFFFF00u, 0x200, past_w},
        {4096, "", 'r', 32768 - 8, 9, past_r},             {4096, "", 'r', 0xFFFFFFF0u, 0x20, past_r},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        FlashBoard board(c.es, c.fault);
        int handle = c.op == '-' ? -1 : board.kernel();
        Bytes data(4096, 0);
        StdoutCapture out;
        EXPECT_EQ(c.op == 'r' ? flash_read(data.data(), handle, c.offset, c.length)
                              : flash_write(data.data(), handle, c.offset, c.length, true), -1);
        EXPECT_EQ(out.finish(), c.out);
        sim_board::FlashCounts n = sim_board::flash_counts();
        EXPECT_EQ(n.read + n.erase + n.write, 0u);
        EXPECT_EQ(board.partition("kernel"), board.before);
    }
}

}  // namespace
