// The boot-slot register: bus handles, the exact traffic of reads and writes
// on the simulated bus (checked through the bus log), messages and fallbacks.
#include "platform/boot_slot_register.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_test_support.hpp"

using sim_test::Bytes;
using sim_test::StdoutCapture;
using Lines = std::vector<std::string>;

namespace {

Lines read_traffic(const std::string& result_line) {
    return {"target 0x71",  "write 0x71 0x40", "target 0x4f", "smbus-write 0x4f reg 0x87 0x55", "wait 100000us",
            "target 0x54",  result_line,       "target 0x71", "write 0x71 0x00"};
}

Lines write_traffic(const std::string& result_line) {
    return {"target 0x71", "write 0x71 0x40", "target 0x4f",   "smbus-write 0x4f reg 0x87 0x55",
            "wait 100000us", "target 0x54",   result_line,     "wait 100000us",
            "target 0x71", "write 0x71 0x00"};
}

// A board whose register file holds `registers`, with both buses open and
// the log emptied after the opens.
struct RegisterBoard : sim_test::Board {
    explicit RegisterBoard(const std::string& faults = "", Bytes registers = Bytes(256, 0)) {
        config.faults = faults;
        sim_test::write_file(config.slot_register, registers);
        EXPECT_TRUE(apply());
    }
    void open_buses() {
        StdoutCapture out;
        EXPECT_EQ(open_i2c_buses(), 0);
        EXPECT_EQ(out.finish(), "");
        clear_log();
    }
    ~RegisterBoard() { close_i2c_buses(); }
    Bytes registers() const { return sim_test::read_file(config.slot_register); }
};

Bytes registers_with(std::uint8_t reg, std::uint8_t value) {
    Bytes r(256, 0);
    r[reg] = value;
    return r;
}

TEST(I2cBuses, OpenBothBuses) {
    RegisterBoard board;
    StdoutCapture out;
    EXPECT_EQ(open_i2c_buses(), 0);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(board.log_lines(), (Lines{"open /dev/i2c-0", "open /dev/i2c-1"}));
}

TEST(I2cBuses, CloseTwiceClosesOnce) {
    RegisterBoard board;
    board.open_buses();
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(board.log_lines(), (Lines{"close /dev/i2c-0", "close /dev/i2c-1"}));
}

TEST(I2cBuses, MissingBusZero) {
    RegisterBoard board("i2c:nobus");
    StdoutCapture out;
    EXPECT_EQ(open_i2c_buses(), -1);
    EXPECT_EQ(out.text(), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(board.log_lines(), (Lines{"open /dev/i2c-0 failed"}));  // bus 1 never opened
    EXPECT_EQ(close_i2c_buses(), 0);
    EXPECT_EQ(board.log_lines(), (Lines{"open /dev/i2c-0 failed"}));  // nothing to close

    // Accesses on the failed handle: writes report the error, reads fall
    // back to slot 1, and nothing reaches a bus.
    EXPECT_LT(set_selected_slot(2), 0);
    EXPECT_EQ(boot_slot_selected(), 1);
    EXPECT_EQ(out.finish(),
              "ERROR: driver /dev/i2c-0 couldn't be opened\n"
              "I2C error when writing bus 0 offset 0: 9\n");
    EXPECT_EQ(board.log_lines(), (Lines{"open /dev/i2c-0 failed", "wait 100000us", "wait 100000us",
                                        "wait 100000us"}));
    EXPECT_EQ(board.registers(), Bytes(256, 0));
}

TEST(SlotRegister, ReadTraffic) {
    RegisterBoard board("", registers_with(0, 2));
    board.open_buses();
    StdoutCapture out;
    EXPECT_EQ(boot_slot_selected(), 2);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(board.log_lines(), read_traffic("smbus-read 0x54 reg 0x00 -> 0x02"));
}

TEST(SlotRegister, RecordBootedRescueTraffic) {
    RegisterBoard board;
    board.open_buses();
    StdoutCapture out;
    EXPECT_EQ(record_booted_slot(BOOTED_RESCUE), 0);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(board.log_lines(), write_traffic("smbus-write 0x54 reg 0x3a 0x04"));
    EXPECT_EQ(board.registers(), registers_with(SLOT_REG_BOOTED, 4));
}

TEST(SlotRegister, FailedWriteReportsAndReleasesMux) {
    struct Case {
        std::uint16_t reg;
        const char* fault;
        const char* bus_line;
        const char* message;
    };
    const Case cases[] = {
        {58, "i2c:write:58", "smbus-write 0x54 reg 0x3a 0x02 failed", "I2C error when writing bus 0 offset 58: 5\n"},
        {0, "i2c:write:0", "smbus-write 0x54 reg 0x00 0x02 failed", "I2C error when writing bus 0 offset 0: 5\n"},
        // Only the low 8 bits go on the bus; the message names the whole number.
        {0x13A, "i2c:write:0x3a", "smbus-write 0x54 reg 0x3a 0x02 failed",
         "I2C error when writing bus 0 offset 314: 5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        RegisterBoard board(c.fault);
        board.open_buses();
        StdoutCapture out;
        EXPECT_LT(write_slot_register(c.reg, 2), 0);
        EXPECT_EQ(out.finish(), c.message);
        EXPECT_EQ(board.log_lines(), write_traffic(c.bus_line));
        EXPECT_EQ(board.registers(), Bytes(256, 0));
    }
}

TEST(SlotRegister, SelectedSlotFromRegisterValue) {
    struct Case {
        std::uint8_t stored;
        const char* fault;
        int selected;
        const char* bus_line;
    };
    const Case cases[] = {
        {0, "", 1, "smbus-read 0x54 reg 0x00 -> 0x00"},
        {1, "", 1, "smbus-read 0x54 reg 0x00 -> 0x01"},
        {2, "", 2, "smbus-read 0x54 reg 0x00 -> 0x02"},
        {3, "", 1, "smbus-read 0x54 reg 0x00 -> 0x03"},
        {4, "", 1, "smbus-read 0x54 reg 0x00 -> 0x04"},
        {0xFF, "", 1, "smbus-read 0x54 reg 0x00 -> 0xff"},
        {2, "i2c:read:0", 1, "smbus-read 0x54 reg 0x00 failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.stored});
        RegisterBoard board(c.fault, registers_with(0, c.stored));
        board.open_buses();
        StdoutCapture out;
        EXPECT_EQ(boot_slot_selected(), c.selected);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(board.log_lines(), read_traffic(c.bus_line));
    }
}

TEST(SlotRegister, ReadStoresByteAndReturnsIt) {
    struct Case {
        const char* fault;
        int result;
        std::uint8_t stored;
    };
    const Case cases[] = {
        {"", 0x42, 0x42},
        {"i2c:read:0x3a", 0xFF, 0xFF},  // a failed transfer stores 0xFF
        {"i2c:read:0", 0x42, 0x42},     // a fault on another register
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        RegisterBoard board(c.fault, registers_with(0x3A, 0x42));
        board.open_buses();
        std::uint8_t value = 0x11;
        EXPECT_EQ(read_slot_register(0x3A, &value), c.result);
        EXPECT_EQ(value, c.stored);
    }
}

TEST(SlotRegister, ReadOnFailedBusStoresFF) {
    RegisterBoard board("i2c:nobus");
    StdoutCapture out;
    open_i2c_buses();
    std::uint8_t value = 0;
    EXPECT_LT(read_slot_register(SLOT_REG_SELECTED, &value), 0);  // setting the address failed
    EXPECT_EQ(value, 0xFF);
}

TEST(SlotRegister, SelectionPersistsToTheNextBoot) {
    sim_test::TempDir dir;
    std::string reg_file = dir.file("slot-register.bin");
    const std::uint8_t slots[] = {2, 1, 2};
    for (std::uint8_t slot : slots) {
        {
            sim_test::Board board;
            board.config.slot_register = reg_file;
            ASSERT_TRUE(board.apply());
            ASSERT_EQ(open_i2c_buses(), 0);
            EXPECT_EQ(set_selected_slot(slot), 0);
            close_i2c_buses();
        }
        sim_test::Board next_boot;
        next_boot.config.slot_register = reg_file;
        ASSERT_TRUE(next_boot.apply());
        ASSERT_EQ(open_i2c_buses(), 0);
        EXPECT_EQ(boot_slot_selected(), slot);
        close_i2c_buses();
        EXPECT_EQ(sim_test::read_file(reg_file)[0], slot);
    }
}

TEST(SlotRegister, MuxStepsAlone) {
    RegisterBoard board;
    board.open_buses();
    select_mux_channel(3);
    prepare_slot_device();
    deselect_mux();
    EXPECT_EQ(board.log_lines(), (Lines{"target 0x71", "write 0x71 0x08", "target 0x4f",
                                        "smbus-write 0x4f reg 0x87 0x55", "wait 100000us", "target 0x71",
                                        "write 0x71 0x00"}));
}

}  // namespace
