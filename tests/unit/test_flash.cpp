// Flash partitions on the simulated NOR board: handle table, geometry, reads,
// the erase-block rewrite, its progress display, failures and refusals.
#include "platform/flash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>

#include "sim_test_support.hpp"

using sim_test::Bytes;
using sim_test::pattern;
using sim_test::StdoutCapture;

namespace {

const char* const NAMES[FLASH_PARTITION_COUNT] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

// A board whose six partitions hold distinct patterns; the kernel partition
// has `kernel_blocks` blocks of `erase_size` bytes (unless `kernel_size`).
struct FlashBoard : sim_test::Board {
    Bytes kernel_before;

    explicit FlashBoard(std::uint32_t erase_size, std::uint32_t kernel_blocks = 8, const std::string& faults = "",
                        std::uint32_t kernel_size = 0) {
        config.erase_size = std::to_string(erase_size);
        config.faults = faults;
        for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) set_partition(NAMES[i], pattern(2048, 10u + i));
        kernel_before = pattern(kernel_size != 0 ? kernel_size : erase_size * kernel_blocks, 1);
        set_partition("kernel", kernel_before);
        EXPECT_TRUE(apply());
        EXPECT_EQ(open_flash_partitions(), 1);
    }
    int kernel() const { return flash_handle(FlashPartition::kernel); }
};

Bytes overlay(Bytes base, std::uint32_t offset, const Bytes& data) {
    std::copy(data.begin(), data.end(), base.begin() + offset);
    return base;
}

TEST(FlashPartitions, OpenPathsAndFlags) {
    sim_test::Board board;
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) board.set_partition(NAMES[i], pattern(1024, i));
    ASSERT_TRUE(board.apply());
    StdoutCapture out;
    EXPECT_EQ(open_flash_partitions(), 1);
    EXPECT_EQ(out.finish(), "");
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) {
        auto p = static_cast<FlashPartition>(i);
        SCOPED_TRACE(NAMES[i]);
        EXPECT_EQ(std::string(flash_device_path(p)), std::string("/dev/mtd-") + NAMES[i]);
        int flags = sim_board::mtd_open_flags(flash_handle(p));
        ASSERT_NE(flags, -1);
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        EXPECT_EQ((flags & O_SYNC) == O_SYNC, p != FlashPartition::rescue);
    }
}

TEST(FlashPartitions, MissingDeviceLeavesMinusOneSilently) {
    sim_test::Board board;
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) {
        if (i != static_cast<int>(FlashPartition::rfs)) board.set_partition(NAMES[i], pattern(1024, i));
    }
    ASSERT_TRUE(board.apply());
    StdoutCapture out;
    EXPECT_EQ(open_flash_partitions(), 1);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(flash_handle(FlashPartition::rfs), -1);
    EXPECT_GE(flash_handle(FlashPartition::kernel), 0);
    EXPECT_GE(flash_handle(FlashPartition::rescue), 0);
}

struct GeometryCase {
    std::uint32_t size;
    std::uint32_t erase_size;
    std::uint32_t block_count;
    std::uint32_t erase_shift;
};

TEST(FlashGeometryQuery, FieldsFromTheDevice) {
    const GeometryCase cases[] = {
        {32768, 4096, 8, 12},      {65536, 65536, 1, 16},  {5000, 1024, 4, 10},
        {10000, 3072, 3, 10},      {1000, 4096, 0, 12},    {4096, 0, 0, 0},
        {8192, 0x80000000u, 0, 31}, {12288, 6144, 2, 11},
    };
    for (const GeometryCase& c : cases) {
        SCOPED_TRACE(c.erase_size);
        FlashBoard board(c.erase_size, 0, "", c.size);
        FlashGeometry g{};
        StdoutCapture out;
        EXPECT_EQ(flash_get_geometry(board.kernel(), &g), 1);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(g.total_size, c.size);
        EXPECT_EQ(g.erase_size, c.erase_size);
        EXPECT_EQ(g.block_count, c.block_count);
        EXPECT_EQ(g.erase_shift, c.erase_shift);
    }
}

TEST(FlashGeometryQuery, PerPartitionEraseSize) {
    sim_test::Board board;
    board.config.erase_size = "65536,kernel=131072,rfs=16384";
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) board.set_partition(NAMES[i], pattern(262144, i));
    ASSERT_TRUE(board.apply());
    open_flash_partitions();
    const std::uint32_t expected[FLASH_PARTITION_COUNT] = {65536, 65536, 65536, 131072, 16384, 65536};
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) {
        FlashGeometry g{};
        ASSERT_EQ(flash_get_geometry(flash_handle(static_cast<FlashPartition>(i)), &g), 1);
        EXPECT_EQ(g.erase_size, expected[i]) << NAMES[i];
        EXPECT_EQ(g.block_count, 262144 / expected[i]) << NAMES[i];
    }
}

TEST(FlashGeometryQuery, FailureLeavesRecordUntouched) {
    FlashBoard board(4096, 8, "flash:kernel:info:1");
    const int handles[] = {board.kernel(), -1};
    for (int handle : handles) {
        FlashGeometry g{11, 22, 33, 44};
        StdoutCapture out;
        EXPECT_EQ(flash_get_geometry(handle, &g), 0);
        EXPECT_EQ(out.finish(), "Could not get MTD device info \n");
        EXPECT_EQ(g.block_count, 11u);
        EXPECT_EQ(g.erase_size, 22u);
        EXPECT_EQ(g.erase_shift, 33u);
        EXPECT_EQ(g.total_size, 44u);
    }
}

struct ReadCase {
    std::uint32_t offset;
    std::uint32_t length;
};

TEST(FlashRead, ReadsTheRange) {
    FlashBoard board(4096);
    const ReadCase cases[] = {{0, 16}, {4095, 2}, {100, 10000}, {32768 - 16, 16}, {0, 32768}, {500, 0}, {32768, 0}};
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.offset);
        Bytes buffer(c.length + 1, 0xA5);
        StdoutCapture out;
        EXPECT_EQ(flash_read(buffer.data(), board.kernel(), c.offset, c.length), 0);
        EXPECT_EQ(out.finish(), "");
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.length, board.kernel_before.begin() + c.offset));
        EXPECT_EQ(buffer[c.length], 0xA5) << "wrote past the length";
    }
}

TEST(FlashRead, DeviceReadFailureIsMinusOne) {
    FlashBoard board(4096, 8, "flash:kernel:read:1");
    Bytes buffer(16);
    StdoutCapture out;
    EXPECT_EQ(flash_read(buffer.data(), board.kernel(), 0, 16), -1);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(flash_read(buffer.data(), board.kernel(), 0, 16), 0);  // only the first read fails
}

TEST(FlashRead, ReadDoesNotDependOnEraseSize) {
    FlashBoard board(3000, 0, "", 9000);
    Bytes buffer(100);
    EXPECT_EQ(flash_read(buffer.data(), board.kernel(), 8900, 100), 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), board.kernel_before.begin() + 8900));
}

struct WriteCase {
    const char* what;
    std::uint32_t erase_size;
    std::uint32_t offset;
    std::uint32_t length;
    unsigned long blocks;  // blocks read, erased and rewritten
};

TEST(FlashWrite, RewritesTouchedBlocksOnly) {
    const WriteCase cases[] = {
        {"inside one block", 4096, 4096 + 100, 200, 1},
        {"middle of block 1 to middle of block 4", 4096, 4096 + 1000, 4 * 4096 + 2000 - (4096 + 1000), 4},
        {"one whole block", 4096, 8192, 4096, 1},
        {"across one boundary", 4096, 4000, 200, 2},
        {"last byte of the partition", 4096, 32768 - 1, 1, 1},
        {"whole partition", 4096, 0, 32768, 8},
        {"1 KiB blocks, middle to middle", 1024, 1500, 3000, 4},
        {"64 KiB blocks inside one", 65536, 70000, 5, 1},
        {"empty at a block boundary", 4096, 8192, 0, 0},
        {"empty at the end", 4096, 32768, 0, 0},
        {"empty inside a block", 4096, 8193, 0, 1},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        FlashBoard board(c.erase_size);
        Bytes data = pattern(c.length, 99);
        StdoutCapture out;
        EXPECT_EQ(flash_write(data.data(), board.kernel(), c.offset, c.length, false), 0);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(board.partition("kernel"), overlay(board.kernel_before, c.offset, data));
        sim_board::FlashCounts counts = sim_board::flash_counts();
        EXPECT_EQ(counts.info, 1u);
        EXPECT_EQ(counts.read, c.blocks);
        EXPECT_EQ(counts.erase, c.blocks);
        EXPECT_EQ(counts.write, c.blocks * (c.erase_size / 1024));
    }
}

TEST(FlashWrite, OtherPartitionsUntouched) {
    FlashBoard board(4096);
    Bytes data = pattern(10000, 7);
    ASSERT_EQ(flash_write(data.data(), board.kernel(), 300, 10000, false), 0);
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) {
        if (i != static_cast<int>(FlashPartition::kernel)) {
            EXPECT_EQ(board.partition(NAMES[i]), pattern(2048, 10u + i)) << NAMES[i];
        }
    }
}

struct ProgressCase {
    std::uint32_t offset;
    std::uint32_t length;
    const char* output;
};

TEST(FlashWrite, ProgressDisplay) {
    const ProgressCase cases[] = {
        {0, 4 * 4096, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
        {8192, 0, "     \b\b\b\b100%\n"},
        {0, 0, "     \b\b\b\b100%\n"},
        {100, 3 * 4096 - 200, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n"},
        {4096, 10, "     \b\b\b\b000%\b\b\b\b100%\n"},
    };
    for (const ProgressCase& c : cases) {
        SCOPED_TRACE(c.length);
        FlashBoard board(4096);
        Bytes data = pattern(c.length, 42);
        StdoutCapture out;
        EXPECT_EQ(flash_write(data.data(), board.kernel(), c.offset, c.length, true), 0);
        EXPECT_EQ(out.finish(), c.output);
        EXPECT_EQ(board.partition("kernel"), overlay(board.kernel_before, c.offset, data));
    }
}

struct FailureCase {
    const char* fault;
    bool show_progress;
    const char* output;
    std::uint32_t new_bytes_in_block_1;  // bytes of block 1 that hold new data; the rest ...
    bool block_1_erased;                 // ... are 0xFF when the block was erased, else old
    unsigned long erases;                // erase requests issued
};

// A write of three whole blocks at offset 0 that fails on the second block.
TEST(FlashWrite, FailureInTheSecondOfThreeBlocks) {
    const FailureCase cases[] = {
        {"flash:kernel:erase:2", false, "Flash Write mtd erase failed.\n\n", 0, false, 2},
        {"flash:kernel:erase:2", true, "     \b\b\b\b000%Flash Write mtd erase failed.\n\n", 0, false, 2},
        {"flash:kernel:read:2", false, "Flash Write mtd read failed.\n\n", 0, false, 1},
        {"flash:kernel:write:5", false, "Flash Write mtd write failed.\n\n", 0, true, 2},
        {"flash:kernel:write:6", true, "     \b\b\b\b000%Flash Write mtd write failed.\n\n", 1024, true, 2},
    };
    constexpr std::uint32_t es = 4096;
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.fault);
        FlashBoard board(es, 8, c.fault);
        Bytes data = pattern(3 * es, 77);
        StdoutCapture out;
        EXPECT_EQ(flash_write(data.data(), board.kernel(), 0, 3 * es, c.show_progress), -1);
        EXPECT_EQ(out.finish(), c.output);

        Bytes expected = board.kernel_before;
        std::copy(data.begin(), data.begin() + es, expected.begin());  // block 0 is new
        if (c.block_1_erased) std::fill(expected.begin() + es, expected.begin() + 2 * es, 0xFF);
        std::copy(data.begin() + es, data.begin() + es + c.new_bytes_in_block_1, expected.begin() + es);
        EXPECT_EQ(board.partition("kernel"), expected);
        EXPECT_EQ(sim_board::flash_counts().erase, c.erases);
    }
}

struct RefusalCase {
    const char* what;
    std::uint32_t erase_size;
    bool write;
    std::uint32_t offset;
    std::uint32_t length;
    const char* output;
};

// Refused before anything is read, erased or written.
TEST(FlashWrite, RefusedGeometriesAndRanges) {
    const char* bad_es = "Flash Write unsupported erase size.\n";
    const char* past_w = "Flash Write range past end of partition.\n";
    const char* past_r = "Flash Read range past end of partition.\n";
    const RefusalCase cases[] = {
        {"erase size 0", 0, true, 0, 16, bad_es},
        {"erase size 512", 512, true, 0, 16, bad_es},
        {"erase size 1536", 1536, true, 0, 16, bad_es},
        {"erase size 3072", 3072, true, 0, 16, bad_es},
        {"erase size 4097", 4097, true, 0, 16, bad_es},
        {"erase size 0x80000400", 0x80000400u, true, 0, 16, bad_es},
        {"bad erase size, empty write", 3072, true, 0, 0, bad_es},
        {"one byte past the end", 4096, true, 32768 - 10, 11, past_w},
        {"whole partition plus one", 4096, true, 0, 32769, past_w},
        {"starts past the end", 4096, true, 32769, 0, past_w},
        {"sum wraps 32 bits", 4096, true, 0xFFFFFF00u, 0x200, past_w},
        {"length wraps 32 bits", 4096, true, 16, 0xFFFFFFF8u, past_w},
        {"read one byte past the end", 4096, false, 32768 - 8, 9, past_r},
        {"read sum wraps 32 bits", 4096, false, 0xFFFFFFF0u, 0x20, past_r},
        {"read starts past the end", 4096, false, 40000, 0, past_r},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        FlashBoard board(c.erase_size, 0, "", 32768);
        Bytes data(64, 0);
        StdoutCapture out;
        int result = c.write ? flash_write(data.data(), board.kernel(), c.offset, c.length, true)
                             : flash_read(data.data(), board.kernel(), c.offset, c.length);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out.finish(), c.output);
        sim_board::FlashCounts counts = sim_board::flash_counts();
        EXPECT_EQ(counts.info, 1u);
        EXPECT_EQ(counts.read, 0u);
        EXPECT_EQ(counts.erase, 0u);
        EXPECT_EQ(counts.write, 0u);
        EXPECT_EQ(board.partition("kernel"), board.kernel_before);
    }
}

// A partition that did not open, or whose geometry query fails: the message,
// -1, and no read, erase or write.
TEST(FlashWrite, GeometryFailureIssuesNoIo) {
    struct Case {
        const char* what;
        bool write;
        bool injected;  // geometry fault on an open partition, else handle -1
    };
    const Case cases[] = {
        {"write, injected", true, true},
        {"write, not opened", true, false},
        {"read, injected", false, true},
        {"read, not opened", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FlashBoard board(4096, 8, "flash:kernel:info:1");
        int handle = c.injected ? board.kernel() : -1;
        Bytes data(4096, 0);
        StdoutCapture out;
        int result = c.write ? flash_write(data.data(), handle, 0, 4096, true)
                             : flash_read(data.data(), handle, 0, 4096);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out.finish(), "Could not get MTD device info \n");
        sim_board::FlashCounts counts = sim_board::flash_counts();
        EXPECT_EQ(counts.read + counts.erase + counts.write, 0u);
        EXPECT_EQ(board.partition("kernel"), board.kernel_before);
    }
}

TEST(FlashWrite, RescuePartitionWritable) {
    FlashBoard board(1024);
    Bytes data = pattern(1500, 5);
    ASSERT_EQ(flash_write(data.data(), flash_handle(FlashPartition::rescue), 100, 1500, false), 0);
    EXPECT_EQ(board.partition("rescue"), overlay(pattern(2048, 15), 100, data));
}

}  // namespace
