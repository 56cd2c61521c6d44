// The boot-slot register: the exact bus traffic (the simulated bus log), messages and fallbacks to slot 1.
#include "platform/boot_slot_register.hpp"

#include "test_support.hpp"

namespace {

const std::string PREPARED = "target 0x4f\nsmbus-write 0x4f reg 0x87 0x55\n";

// After the buses open: the mux routes channel 6, 0x4F is prepared, 0x54 is
// accessed, the mux is released; a write waits again after its transfer.
std::string traffic(const std::string& transfer, bool write, const std::string& prepared = PREPARED) {
    return "open /dev/i2c-0\nopen /dev/i2c-1\ntarget 0x71\nwrite 0x71 0x40\n" + prepared + "wait 100000us\n" +
           transfer + (write ? "\nwait 100000us" : "") + "\ntarget 0x71\nwrite 0x71 0x00\n";
}

// Register 0 holds `selected`, the others 0; both buses are open.
struct RegisterBoard : unit::Board {
    explicit RegisterBoard(const std::string& faults, std::uint8_t selected = 0) : Board(faults) {
        unit::Bytes registers(256, 0);
        registers[0] = selected;
        unit::write_file(config.slot_register, registers);
        apply();
        EXPECT_EQ(open_i2c_buses(), 0);
    }
    ~RegisterBoard() { close_i2c_buses(); }
    std::uint8_t reg(int r) const { return unit::read_file(config.slot_register)[r]; }
};

// Recording a boot from the rescue partition writes 4 into register 0x3A. A failed transfer, or a target that
// cannot be set (EBUSY: nothing goes to the chip that still holds the bus), is reported; the mux is released.
TEST(SlotRegister, RecordBootedSlot) {
    const struct { const char* fault; const char* message; const char* transfer; std::uint8_t stored; } cases[] = {
        {"", "", "target 0x54\nsmbus-write 0x54 reg 0x3a 0x04", 4},
        {"i2c:write:58", "I2C error when writing bus 0 offset 58: 5\n",
         "target 0x54\nsmbus-write 0x54 reg 0x3a 0x04 failed", 0},
        {"i2c:target:0x54", "I2C error when writing bus 0 offset 58: 16\n", "target 0x54 failed", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        RegisterBoard board(c.fault);
        unit::Console console;
        EXPECT_EQ(record_booted_slot(BOOTED_RESCUE) < 0, *c.fault != 0);
        EXPECT_EQ(console.finish().out, c.message);
        EXPECT_EQ(board.reg(SLOT_REG_BOOTED), c.stored);
        EXPECT_EQ(close_i2c_buses(), 0);
        EXPECT_EQ(close_i2c_buses(), 0);  // the second finds nothing to close
        EXPECT_EQ(board.log(), traffic(c.transfer, true) + "close /dev/i2c-0\nclose /dev/i2c-1\n");
    }
}

// Only a stored 2 selects slot 2; anything else, or a failed read, is slot 1.
// A target that cannot be set skips its transfer: no read from another chip,
// no preparatory write into the mux.
TEST(SlotRegister, SelectedSlotFromRegisterValue) {
    const std::string read_0 = "target 0x54\nsmbus-read 0x54 reg 0x00 ";
    const struct { std::uint8_t stored; const char* fault; int selected; std::string transfer, prepared = PREPARED; }
        cases[] = {
        {1, "", 1, read_0 + "-> 0x01"},
        {2, "", 2, read_0 + "-> 0x02"},
        {3, "", 1, read_0 + "-> 0x03"},
        {0xFF, "", 1, read_0 + "-> 0xff"},
        {2, "i2c:read:0", 1, read_0 + "failed"},
        {2, "i2c:target:0x54", 1, "target 0x54 failed"},
        {2, "i2c:target:0x4f", 2, read_0 + "-> 0x02", "target 0x4f failed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transfer);
        RegisterBoard board(c.fault, c.stored);
        unit::Console console;
        EXPECT_EQ(boot_slot_selected(), c.selected);
        EXPECT_EQ(console.finish().out, "");
        EXPECT_EQ(board.log(), traffic(c.transfer, false, c.prepared));
    }
}

TEST(SlotRegister, BusZeroMissing) {
    unit::Board board("i2c:nobus");
    board.apply();
    unit::Console console;
    EXPECT_EQ(open_i2c_buses(), -1);
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(boot_slot_selected(), 1);
    EXPECT_EQ(console.finish().out, "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    // Bus 1 is never opened, nothing is closed, nothing reaches a bus.
    EXPECT_EQ(board.log(), "open /dev/i2c-0 failed\nwait 100000us\n");
}

}  // namespace
