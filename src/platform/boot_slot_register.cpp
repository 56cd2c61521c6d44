// The boot-slot register on I2C: the two bus handles, the multiplexer routing
// and preparatory write around every access, and the selected/booted registers.
#include "platform/boot_slot_register.hpp"

#include <cerrno>
#include <cstdio>

#include "platform/device_io.hpp"

namespace {

constexpr int BUS_COUNT = 2;
constexpr int MUX_ADDRESS = 0x71;
constexpr int PREPARE_ADDRESS = 0x4F;
constexpr std::uint8_t PREPARE_REGISTER = 0x87;
constexpr std::uint8_t PREPARE_VALUE = 0x55;
constexpr int SLOT_ADDRESS = 0x54;
constexpr int SLOT_CHANNEL = 6;
constexpr unsigned long SETTLE_MICROSECONDS = 100000;

// A descriptor, a negative value after a failed open, or 0 when not open.
int bus_handles[BUS_COUNT] = {0, 0};

}  // namespace

int open_i2c_buses() {
    for (int bus = 0; bus < BUS_COUNT; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        bus_handles[bus] = device_io::i2c_open(path);
        if (bus_handles[bus] < 0) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int close_i2c_buses() {
    for (int& handle : bus_handles) {
        if (handle > 0) {
            device_io::i2c_close(handle);
            handle = 0;
        }
    }
    return 0;
}

// Each transfer below is made only once its target is set: a target that
// cannot be set (a kernel driver owns the address) leaves the previous one in
// place, and the transfer would reach another chip. The transfer then counts
// as failed: a write reports it, a read yields 0xFF.
int select_mux_channel(int channel) {
    if (channel < 0 || channel > 7) {
        errno = EINVAL;
        return -1;
    }
    if (device_io::i2c_set_target(bus_handles[0], MUX_ADDRESS) < 0) return -1;
    return device_io::i2c_write_byte(bus_handles[0], static_cast<std::uint8_t>(1u << channel));
}

int deselect_mux() {
    if (device_io::i2c_set_target(bus_handles[0], MUX_ADDRESS) < 0) return -1;
    return device_io::i2c_write_byte(bus_handles[0], 0);
}

int prepare_slot_device() {
    int result = device_io::i2c_set_target(bus_handles[0], PREPARE_ADDRESS);
    if (result == 0) {
        result =
            device_io::i2c_smbus_write_byte_data(bus_handles[0], PREPARE_REGISTER, PREPARE_VALUE);
    }
    device_io::wait_microseconds(SETTLE_MICROSECONDS);
    return result;
}

int write_slot_register(std::uint16_t reg, std::uint8_t value) {
    select_mux_channel(SLOT_CHANNEL);
    prepare_slot_device();
    int result = device_io::i2c_set_target(bus_handles[0], SLOT_ADDRESS);
    if (result == 0) {
        result = device_io::i2c_smbus_write_byte_data(bus_handles[0],
                                                      static_cast<std::uint8_t>(reg & 0xFF), value);
    }
    int error = errno;
    device_io::wait_microseconds(SETTLE_MICROSECONDS);
    if (result < 0) std::printf("I2C error when writing bus %d offset %d: %d\n", 0, reg, error);
    deselect_mux();
    return result;
}

int read_slot_register(std::uint16_t reg, std::uint8_t* value_out) {
    select_mux_channel(SLOT_CHANNEL);
    prepare_slot_device();
    int target = device_io::i2c_set_target(bus_handles[0], SLOT_ADDRESS);
    int byte = target < 0 ? -1
                          : device_io::i2c_smbus_read_byte_data(
                                bus_handles[0], static_cast<std::uint8_t>(reg & 0xFF));
    *value_out = static_cast<std::uint8_t>(byte & 0xFF);  // a failed read stores 0xFF
    deselect_mux();
    return target < 0 ? target : *value_out;
}

int boot_slot_selected() {
    std::uint8_t value = 0;
    read_slot_register(SLOT_REG_SELECTED, &value);
    return value == 1 || value == 2 ? value : 1;
}

int set_selected_slot(std::uint8_t slot) { return write_slot_register(SLOT_REG_SELECTED, slot); }

int record_booted_slot(std::uint8_t slot) { return write_slot_register(SLOT_REG_BOOTED, slot); }
