// Flash partitions on the simulated NOR board: the block rewrite, progress, failures, refusals.
#include "platform/flash.hpp"

#include <algorithm>

#include "test_support.hpp"

namespace {

using unit::Bytes;
const Bytes BEFORE = unit::pattern(32768, 1);

// A kernel partition of 32 KiB of known bytes, opened; no other partition opens.
struct FlashBoard : unit::Board {
    explicit FlashBoard(std::uint32_t erase_size, const std::string& faults = "") : Board(faults) {
        config.erase_size = std::to_string(erase_size);
        put("kernel", BEFORE);
        apply();
        open_flash_partitions();
    }
};

constexpr FlashPartition KERNEL = FlashPartition::kernel, RFS = FlashPartition::rfs;

// Only the touched blocks are read, erased and rewritten (in 1024-byte pieces); nothing else changes.
TEST(Flash, WriteRewritesTouchedBlocks) {
    const struct { std::uint32_t offset, length; bool progress; unsigned long blocks; const char* output; } cases[] = {
        {4096 + 100, 200, false, 1, ""},                               // inside one block
        {4096 + 1000, 4 * 4096 + 2000 - (4096 + 1000), false, 4, ""},  // mid block 1 to mid block 4
        {0, 4 * 4096, true, 4, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
        {8192, 0, true, 0, "     \b\b\b\b100%\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        FlashBoard board(4096);
        const Bytes data = unit::pattern(c.length, 99);
        Bytes expected = BEFORE;
        std::copy(data.begin(), data.end(), expected.begin() + c.offset);
        unit::Console console;
        EXPECT_EQ(flash_write(data.data(), flash_handle(KERNEL), c.offset, c.length, c.progress), 0);
        EXPECT_EQ(console.finish().out, c.output);
        EXPECT_EQ(board.partition("kernel"), expected);
        const sim_board::FlashCounts n = sim_board::flash_counts();
        EXPECT_EQ(n.read, c.blocks);
        EXPECT_EQ(n.erase, c.blocks);
        EXPECT_EQ(n.write, c.blocks * 4);
    }
}

// Three blocks at 0, failing in the second: block 0 new, block 1 partly new (0xFF where erased), block 2 old.
// A worn block (its erase reported done, nothing erased) fails its first write: NOR only clears bits.
TEST(Flash, WriteFailsInTheSecondOfThreeBlocks) {
    const struct { const char* fault; bool progress; const char* output; std::uint32_t new_in_block_1;
                   const char* log = ""; } cases[] = {
        {"flash:kernel:erase:2", false, "Flash Write mtd erase failed.\n\n", 0},
        {"flash:kernel:erase:2", true, "     \b\b\b\b000%Flash Write mtd erase failed.\n\n", 0},
        {"flash:kernel:read:2", false, "Flash Write mtd read failed.\n\n", 0},
        {"flash:kernel:write:6", false, "Flash Write mtd write failed.\n\n", 1024},
        {"flash:kernel:noerase:2", false, "Flash Write mtd write failed.\n\n", 0,
         "flash kernel write over unerased data at 0x1000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        FlashBoard board(4096, c.fault);
        const Bytes data = unit::pattern(3 * 4096, 77);
        Bytes expected = BEFORE;
        unit::Console console;
        EXPECT_EQ(flash_write(data.data(), flash_handle(KERNEL), 0, 3 * 4096, c.progress), -1);
        EXPECT_EQ(console.finish().out, c.output);
        std::copy(data.begin(), data.begin() + 4096, expected.begin());
        if (c.new_in_block_1 != 0) std::fill(expected.begin() + 4096, expected.begin() + 8192, 0xFF);
        std::copy(data.begin() + 4096, data.begin() + 4096 + c.new_in_block_1, expected.begin() + 4096);
        EXPECT_EQ(board.partition("kernel"), expected);
        EXPECT_EQ(board.log(), c.log);
    }
}

// Refused with a message before any I/O: a failed geometry query, a partition that did not open, an erase
// size the rewrite cannot use, a range past the end.
TEST(Flash, RefusedBeforeAnyIo) {
    const char *info = "Could not get MTD device info \n", *bad_es = "Flash Write unsupported erase size.\n";
    const char *past_w = "Flash Write range past end of partition.\n";
    const char *past_r = "Flash Read range past end of partition.\n";
    const struct { std::uint32_t es; const char* fault; bool read; FlashPartition part; std::uint32_t offset, length;
                   const char* out; } cases[] = {
        {4096, "flash:kernel:info:1", false, KERNEL, 0, 4096, info},
        {4096, "flash:kernel:info:1", true, KERNEL, 0, 8, info},
        {4096, "", false, RFS, 0, 4096, info},
        {0, "", false, KERNEL, 0, 16, bad_es},
        {512, "", false, KERNEL, 0, 16, bad_es},
        {3072, "", false, KERNEL, 0, 0, bad_es},
        {4096, "", false, KERNEL, 32768 - 10, 11, past_w},
        {4096, "", false, KERNEL, 0xFFFFFF00u, 0x200, past_w},  // the end wraps
        {4096, "", true, KERNEL, 32768 - 8, 9, past_r},
        {4096, "", true, KERNEL, 0xFFFFFFF0u, 0x20, past_r},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.out << c.es << " " << c.offset);
        FlashBoard board(c.es, c.fault);
        Bytes data(4096, 0);
        unit::Console console;
        const int handle = flash_handle(c.part);
        EXPECT_EQ(c.read ? flash_read(data.data(), handle, c.offset, c.length)
                         : flash_write(data.data(), handle, c.offset, c.length, true),
                  -1);
        EXPECT_EQ(console.finish().out, c.out);
        const sim_board::FlashCounts n = sim_board::flash_counts();
        EXPECT_EQ(n.read + n.erase + n.write, 0u);
        EXPECT_EQ(board.partition("kernel"), BEFORE);
    }
}

}  // namespace
