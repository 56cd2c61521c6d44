// The boot-slot register: the exact bus traffic (checked through the
// simulated bus log), messages and fallbacks to slot 1.
#include "platform/boot_slot_register.hpp"

#include "sim_test_support.hpp"

using sim_test::StdoutCapture;

namespace {

const std::string PREPARED = "target 0x4f\nsmbus-write 0x4f reg 0x87 0x55\n";

// After the buses open: the mux routes channel 6, 0x4F is prepared, 0x54 is
// accessed, the mux is released; a write waits again after its transfer.
std::string traffic(const std::string& transfer, bool write, const std::string& prepared = PREPARED) {
    return "open /dev/i2c-0\nopen /dev/i2c-1\ntarget 0x71\nwrite 0x71 0x40\n" + prepared +
           "wait 100000us\n" + transfer + (write ? "\nwait 100000us" : "") +
           "\ntarget 0x71\nwrite 0x71 0x00\n";
}

// Register 0 holds `selected`; both buses are open.
struct RegisterBoard : sim_test::Board {
    explicit RegisterBoard(const std::string& faults, std::uint8_t selected = 0) {
        config.faults = faults;
        sim_test::write_file(config.slot_register, {selected});  // the rest reads as zeros
        EXPECT_TRUE(apply());
        EXPECT_EQ(open_i2c_buses(), 0);
    }
    ~RegisterBoard() { close_i2c_buses(); }
};

TEST(SlotRegister, RecordBootedRescueTrafficThenCloseTwice) {
    RegisterBoard board("");
    EXPECT_EQ(record_booted_slot(BOOTED_RESCUE), 0);
    EXPECT_EQ(sim_test::read_file(board.config.slot_register)[SLOT_REG_BOOTED], 4);
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(board.bus_log(), traffic("target 0x54\nsmbus-write 0x54 reg 0x3a 0x04", true) +
                                   "close /dev/i2c-0\nclose /dev/i2c-1\n");
}

// A failed transfer, or a target that cannot be set (EBUSY: nothing goes to
// the chip that still holds the bus), is reported; the mux is released.
TEST(SlotRegister, FailedWriteReportsAndReleasesMux) {
    const struct { const char* fault; const char* message; const char* transfer; } cases[] = {
        {"i2c:write:58", "I2C error when writing bus 0 offset 58: 5\n",
         "target 0x54\nsmbus-write 0x54 reg 0x3a 0x02 failed"},
        {"i2c:target:0x54", "I2C error when writing bus 0 offset 58: 16\n", "target 0x54 failed"},
    };
    for (const auto& c : cases) {
        RegisterBoard board(c.fault);
        StdoutCapture out;
        EXPECT_LT(write_slot_register(58, 2), 0) << c.fault;
        EXPECT_EQ(out.finish(), c.message);
        EXPECT_EQ(board.bus_log(), traffic(c.transfer, true));
    }
}

// Only a stored 2 selects slot 2; anything else, or a failed read, is slot 1.
// A target that cannot be set skips its transfer: no read from another chip,
// no preparatory write into the mux.
TEST(SlotRegister, SelectedSlotFromRegisterValue) {
    const std::string read_0 = "target 0x54\nsmbus-read 0x54 reg 0x00 ";
    const struct { std::uint8_t stored; const char* fault; int selected; std::string transfer, prepared; } cases[] = {
        {0, "", 1, read_0 + "-> 0x00", PREPARED}, {1, "", 1, read_0 + "-> 0x01", PREPARED},
        {2, "", 2, read_0 + "-> 0x02", PREPARED}, {3, "", 1, read_0 + "-> 0x03", PREPARED},
        {4, "", 1, read_0 + "-> 0x04", PREPARED}, {0xFF, "", 1, read_0 + "-> 0xff", PREPARED},
        {2, "i2c:read:0", 1, read_0 + "failed", PREPARED},
        {2, "i2c:target:0x54", 1, "target 0x54 failed", PREPARED},
        {2, "i2c:target:0x4f", 2, read_0 + "-> 0x02", "target 0x4f failed\n"},
    };
    for (const auto& c : cases) {
        RegisterBoard board(c.fault, c.stored);
        StdoutCapture out;
        EXPECT_EQ(boot_slot_selected(), c.selected) << c.transfer;
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(board.bus_log(), traffic(c.transfer, false, c.prepared));
    }
}

TEST(SlotRegister, BusZeroMissing) {
    sim_test::Board board;
    board.config.faults = "i2c:nobus";
    ASSERT_TRUE(board.apply());
    StdoutCapture out;
    EXPECT_EQ(open_i2c_buses(), -1);
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(boot_slot_selected(), 1);
    EXPECT_EQ(out.finish(), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    // Bus 1 is never opened, nothing is closed, nothing reaches a bus.
    EXPECT_EQ(board.bus_log(), "open /dev/i2c-0 failed\nwait 100000us\n");
}

}  // namespace
