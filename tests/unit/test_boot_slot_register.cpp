// The boot-slot register: the exact bus traffic (checked through the
// simulated bus log), messages and fallbacks to slot 1.
#include "platform/boot_slot_register.hpp"

#include "sim_test_support.hpp"

using sim_test::StdoutCapture;

namespace {

// After the buses open: the mux routes channel 6, 0x4F is prepared, 0x54 is
// accessed, the mux is released; a write waits again after its transfer.
std::string traffic(const std::string& transfer, bool write) {
    return "open /dev/i2c-0\nopen /dev/i2c-1\ntarget 0x71\nwrite 0x71 0x40\ntarget 0x4f\n"
           "smbus-write 0x4f reg 0x87 0x55\nwait 100000us\ntarget 0x54\n" +
           transfer + (write ? "\nwait 100000us" : "") + "\ntarget 0x71\nwrite 0x71 0x00\n";
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
    EXPECT_EQ(board.bus_log(),
              traffic("smbus-write 0x54 reg 0x3a 0x04", true) + "close /dev/i2c-0\nclose /dev/i2c-1\n");
}

TEST(SlotRegister, FailedWriteReportsAndReleasesMux) {
    RegisterBoard board("i2c:write:58");
    StdoutCapture out;
    EXPECT_LT(write_slot_register(58, 2), 0);
    EXPECT_EQ(out.finish(), "I2C error when writing bus 0 offset 58: 5\n");
    EXPECT_EQ(board.bus_log(), traffic("smbus-write 0x54 reg 0x3a 0x02 failed", true));
}

// Only a stored 2 selects slot 2; anything else, or a failed read, is slot 1.
TEST(SlotRegister, SelectedSlotFromRegisterValue) {
    const struct { std::uint8_t stored; const char* fault; int selected; const char* transfer; } cases[] = {
        {0, "", 1, "smbus-read 0x54 reg 0x00 -> 0x00"}, {1, "", 1, "smbus-read 0x54 reg 0x00 -> 0x01"},
        {2, "", 2, "smbus-read 0x54 reg 0x00 -> 0x02"}, {3, "", 1, "smbus-read 0x54 reg 0x00 -> 0x03"},
        {4, "", 1, "smbus-read 0x54 reg 0x00 -> 0x04"}, {0xFF, "", 1, "smbus-read 0x54 reg 0x00 -> 0xff"},
        {2, "i2c:read:0", 1, "smbus-read 0x54 reg 0x00 failed"},
    };
    for (const auto& c : cases) {
        RegisterBoard board(c.fault, c.stored);
        StdoutCapture out;
        EXPECT_EQ(boot_slot_selected(), c.selected) << c.transfer;
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(board.bus_log(), traffic(c.transfer, false));
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
