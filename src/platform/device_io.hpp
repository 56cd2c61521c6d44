// The device seam: the only thing that differs between the switch (linux/)
// and the simulated board (sim/). One of the two backends is linked in.
// Every function reports failure as on Linux: -1 (or false) with errno set.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace device_io {

// Geometry of an MTD device, the fields of MEMGETINFO that the loader uses.
struct MtdInfo {
    std::uint32_t size;       // total size in bytes
    std::uint32_t erasesize;  // erase block size in bytes
};

// MTD character devices ("/dev/mtd-kernel", ...).
int mtd_open(const char* path, int flags);  // fd or -1
int mtd_get_info(int fd, MtdInfo* info);    // 0 or -1 (MEMGETINFO)
ssize_t mtd_pread(int fd, void* buf, std::size_t len, off_t offset);
ssize_t mtd_pwrite(int fd, const void* buf, std::size_t len, off_t offset);
int mtd_erase(int fd, std::uint32_t start, std::uint32_t length);  // 0 or -1 (MEMERASE)

// i2c-dev character devices ("/dev/i2c-0", ...).
int i2c_open(const char* path);  // fd or -1
int i2c_close(int fd);
int i2c_set_target(int fd, int address);         // I2C_SLAVE: 0 or -1
int i2c_write_byte(int fd, std::uint8_t value);  // plain 1-byte write: 0 or -1
int i2c_smbus_write_byte_data(int fd, std::uint8_t reg, std::uint8_t value);  // 0 or -1
int i2c_smbus_read_byte_data(int fd, std::uint8_t reg);                       // the byte, or -1

// Waits. A signal cuts a wait short, as sleep() and usleep() do.
void wait_microseconds(unsigned long microseconds);
void wait_seconds(unsigned seconds);

}  // namespace device_io
