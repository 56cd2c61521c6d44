// platform/: flash, the boot-slot register, the outside programs.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/outside_programs.hpp"
#include "test_support.hpp"

namespace {

using namespace unit;

const Bytes BEFORE = pattern(32768, 1);

// A kernel partition of 32 KiB of known bytes; no other partition.
struct FlashBoard : Board {
    explicit FlashBoard(std::uint32_t erase_size, const std::string& faults = "") : Board(faults) {
        config.erase_size = std::to_string(erase_size);
        put("kernel", BEFORE);
        apply();
        open_flash_partitions();
    }
};

constexpr FlashPartition KERNEL = FlashPartition::kernel;

// Only the touched blocks are read, erased and rewritten (in 1024-byte pieces).
TEST(Flash, WriteRewritesTouchedBlocks) {
    const struct {
        std::uint32_t offset, length;
        bool progress;
        unsigned long blocks;
        const char* output;
    } cases[] = {
        {4096 + 100, 200, false, 1, ""},                               // inside one block
        {4096 + 1000, 4 * 4096 + 2000 - (4096 + 1000), false, 4, ""},  // mid block 1 to mid block 4
        {0, 4 * 4096, true, 4,
         "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
        {8192, 0, true, 0, "     \b\b\b\b100%\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        FlashBoard board(4096);
        const Bytes data = pattern(c.length, 99);
        Bytes expected = BEFORE;
        std::copy(data.begin(), data.end(), expected.begin() + c.offset);
        Console console;
        EXPECT_EQ(flash_write(data.data(), flash_handle(KERNEL), c.offset, c.length, c.progress),
                  0);
        EXPECT_EQ(console.finish().out, c.output);
        EXPECT_EQ(board.partition("kernel"), expected);
        const sim_board::FlashCounts n = sim_board::flash_counts();
        EXPECT_EQ(n.read, c.blocks);
        EXPECT_EQ(n.erase, c.blocks);
        EXPECT_EQ(n.write, c.blocks * 4);
    }
}

// Failing in the second of three blocks: block 0 new, block 1 partly new (0xFF where erased),
// block 2 old. A worn block (erase reported done, nothing erased) fails its first write: NOR
// only clears bits. (Progress before a failure: the system suite's install faults.)
TEST(Flash, WriteFailsInTheSecondOfThreeBlocks) {
    const struct {
        const char* fault;
        const char* output;
        std::uint32_t new_in_block_1;
        const char* log = "";
    } cases[] = {
        {"flash:kernel:erase:2", "Flash Write mtd erase failed.\n\n", 0},
        {"flash:kernel:read:2", "Flash Write mtd read failed.\n\n", 0},
        {"flash:kernel:write:6", "Flash Write mtd write failed.\n\n", 1024},
        {"flash:kernel:noerase:2", "Flash Write mtd write failed.\n\n", 0,
         "flash kernel write over unerased data at 0x1000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        FlashBoard board(4096, c.fault);
        const Bytes data = pattern(3 * 4096, 77);
        Bytes expected = BEFORE;
        Console console;
        EXPECT_EQ(flash_write(data.data(), flash_handle(KERNEL), 0, 3 * 4096, false), -1);
        EXPECT_EQ(console.finish().out, c.output);
        std::copy(data.begin(), data.begin() + 4096, expected.begin());
        if (c.new_in_block_1 != 0)
            std::fill(expected.begin() + 4096, expected.begin() + 8192, 0xFF);
        std::copy(data.begin() + 4096, data.begin() + 4096 + c.new_in_block_1,
                  expected.begin() + 4096);
        EXPECT_EQ(board.partition("kernel"), expected);
        EXPECT_EQ(board.log(), c.log);
    }
}

TEST(Flash, RefusedBeforeAnyIo) {
    const char *info = "Could not get MTD device info \n",
               *bad_es = "Flash Write unsupported erase size.\n";
    const char* past_w = "Flash Write range past end of partition.\n";
    const char* past_r = "Flash Read range past end of partition.\n";
    const struct {
        std::uint32_t es;
        const char* fault;
        bool read;
        std::uint32_t offset, length;
        const char* out;
    } cases[] = {
        {4096, "flash:kernel:info:1", false, 0, 4096, info},
        {0, "", false, 0, 16, bad_es},
        {512, "", false, 0, 16, bad_es},
        {3072, "", false, 0, 0, bad_es},
        {4096, "", false, 32768 - 10, 11, past_w},
        {4096, "", false, 0xFFFFFF00u, 0x200, past_w},  // the end wraps
        {4096, "", true, 0xFFFFFFF0u, 0x20, past_r},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.out << c.es << " " << c.offset);
        FlashBoard board(c.es, c.fault);
        Bytes data(4096, 0);
        Console console;
        const int handle = flash_handle(KERNEL);
        EXPECT_EQ(c.read ? flash_read(data.data(), handle, c.offset, c.length)
                         : flash_write(data.data(), handle, c.offset, c.length, true),
                  -1);
        EXPECT_EQ(console.finish().out, c.out);
        const sim_board::FlashCounts n = sim_board::flash_counts();
        EXPECT_EQ(n.read + n.erase + n.write, 0u);
    }
}

const std::string PREPARED = "target 0x4f\nsmbus-write 0x4f reg 0x87 0x55\n";

// The mux routes channel 6, 0x4F is prepared, 0x54 accessed, the mux released; a write waits
// again after its transfer.
std::string traffic(const std::string& transfer, bool write,
                    const std::string& prepared = PREPARED) {
    return "open /dev/i2c-0\nopen /dev/i2c-1\ntarget 0x71\nwrite 0x71 0x40\n" + prepared +
           "wait 100000us\n" + transfer + (write ? "\nwait 100000us" : "") +
           "\ntarget 0x71\nwrite 0x71 0x00\n";
}

struct RegisterBoard : Board {
    explicit RegisterBoard(const std::string& faults, std::uint8_t selected = 0) : Board(faults) {
        Bytes registers(256, 0);
        registers[0] = selected;
        write_file(config.slot_register, registers);
        apply();
        EXPECT_EQ(open_i2c_buses(), 0);
    }
    ~RegisterBoard() { close_i2c_buses(); }
};

// A boot from the rescue partition: 4 into register 0x3A. A failed transfer, or a target that
// cannot be set (EBUSY: nothing goes to the chip), is reported; the mux is released.
TEST(SlotRegister, RecordBootedSlot) {
    const struct {
        const char* fault;
        const char* message;
        const char* transfer;
    } cases[] = {
        {"", "", "target 0x54\nsmbus-write 0x54 reg 0x3a 0x04"},
        {"i2c:write:58", "I2C error when writing bus 0 offset 58: 5\n",
         "target 0x54\nsmbus-write 0x54 reg 0x3a 0x04 failed"},
        {"i2c:target:0x54", "I2C error when writing bus 0 offset 58: 16\n", "target 0x54 failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        RegisterBoard board(c.fault);
        Console console;
        EXPECT_EQ(record_booted_slot(BOOTED_RESCUE) < 0, *c.fault != 0);
        EXPECT_EQ(console.finish().out, c.message);
        EXPECT_EQ(close_i2c_buses(), 0);
        EXPECT_EQ(close_i2c_buses(), 0);  // the second finds nothing to close
        EXPECT_EQ(board.log(), traffic(c.transfer, true) + "close /dev/i2c-0\nclose /dev/i2c-1\n");
    }
}

// Only a stored 2 selects slot 2. A target that cannot be set skips its transfer: no read from
// another chip, no preparatory write into the mux.
TEST(SlotRegister, SelectedSlotFromRegisterValue) {
    const std::string read_0 = "target 0x54\nsmbus-read 0x54 reg 0x00 ";
    const struct {
        std::uint8_t stored;
        const char* fault;
        int selected;
        std::string transfer, prepared = PREPARED;
    } cases[] = {
        {0xFF, "", 1, read_0 + "-> 0xff"},
        {2, "i2c:read:0", 1, read_0 + "failed"},
        {2, "i2c:target:0x54", 1, "target 0x54 failed"},
        {2, "i2c:target:0x4f", 2, read_0 + "-> 0x02", "target 0x4f failed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transfer);
        RegisterBoard board(c.fault, c.stored);
        Console console;
        EXPECT_EQ(boot_slot_selected(), c.selected);
        EXPECT_EQ(console.finish().out, "");
        EXPECT_EQ(board.log(), traffic(c.transfer, false, c.prepared));
    }
}

TEST(SlotRegister, BusZeroMissing) {
    Board board("i2c:nobus");
    board.apply();
    Console console;
    EXPECT_EQ(open_i2c_buses(), -1);
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(boot_slot_selected(), 1);
    EXPECT_EQ(console.finish().out, "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    // Bus 1 is never opened, nothing is closed, nothing reaches a bus.
    EXPECT_EQ(board.log(), "open /dev/i2c-0 failed\nwait 100000us\n");
}

// Each text, quoted for printf in a real shell, comes back unchanged; nothing in it runs.
TEST(ShellQuote, HostileTextsSurviveTheShell) {
    TempDir dir;
    const std::string canary = dir.file("canary"), out = dir.file("out");
    const std::string texts[] = {
        "",
        "$(touch " + canary + ")",
        "`touch " + canary + "`",
        "'; touch " + canary + "; echo '",
        "'''",
        "\\'",
        "line\nbreak\n",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const int status = run_shell(("printf '%s' " + shell_quote(text) + " > " + out).c_str());
        EXPECT_EQ(status, 0);
        EXPECT_EQ(read_text(out), text);
        EXPECT_FALSE(path_exists(canary.c_str()));
    }
    EXPECT_EQ(run_shell("exit 3"), 3 << 8);
}

// Status 0 also when the shell's result is negative (no child to wait for: it says so on
// standard error); a reboot program that fails is not the shell failing.
TEST(RebootSystem, ExitsWithZero) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    stand_in("reboot", "exit 1");
    Board board;  // no waiting
    board.apply();
    const struct {
        bool reaped;
        const char* err;
    } cases[] = {
        {false, ""},
        {true, "System reboot failed, please power-cycle.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        Console console;
        const pid_t child = ::fork();
        if (child == 0) {
            if (c.reaped) ::signal(SIGCHLD, SIG_IGN);
            reboot_system();
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        const Printed printed = console.finish();
        EXPECT_EQ(printed.out, "reboot\n");
        EXPECT_EQ(printed.err, c.err);
        EXPECT_EQ(status, 0);
    }
}

}  // namespace
