// The boot-slot register on I2C: bus handles, the multiplexer routing and
// preparatory write around every access, and the selected/booted registers.
#pragma once
#include <cstdint>

using BootSlot = int;  // 1 or 2

inline constexpr std::uint16_t SLOT_REG_SELECTED = 0;
inline constexpr std::uint16_t SLOT_REG_BOOTED = 0x3A;
inline constexpr std::uint8_t BOOTED_RESCUE = 4;

int open_i2c_buses();   // 0, or -1 on the first failure
int close_i2c_buses();  // always 0

int boot_slot_selected();  // 1 or 2
int set_selected_slot(std::uint8_t slot);
int record_booted_slot(std::uint8_t slot);

int write_slot_register(std::uint16_t reg, std::uint8_t value);
int read_slot_register(std::uint16_t reg, std::uint8_t* value_out);

int select_mux_channel(int channel);
int deselect_mux();
int prepare_slot_device();
