// The device seam on the switch: MTD and i2c-dev requests straight to the
// kernel, and real sleeps.
#include "platform/device_io.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace device_io {

int mtd_open(const char* path, int flags) { return ::open(path, flags); }

int mtd_get_info(int fd, MtdInfo* info) {
    mtd_info_user user{};
    if (::ioctl(fd, MEMGETINFO, &user) != 0) return -1;
    info->size = user.size;
    info->erasesize = user.erasesize;
    return 0;
}

ssize_t mtd_pread(int fd, void* buf, std::size_t len, off_t offset) {
    return ::pread(fd, buf, len, offset);
}

ssize_t mtd_pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
    return ::pwrite(fd, buf, len, offset);
}

int mtd_erase(int fd, std::uint32_t start, std::uint32_t length) {
    erase_info_user erase{};
    erase.start = start;
    erase.length = length;
    return ::ioctl(fd, MEMERASE, &erase) < 0 ? -1 : 0;
}

int i2c_open(const char* path) { return ::open(path, O_RDWR); }

int i2c_close(int fd) { return ::close(fd); }

int i2c_set_target(int fd, int address) {
    return ::ioctl(fd, I2C_SLAVE, static_cast<long>(address)) < 0 ? -1 : 0;
}

int i2c_write_byte(int fd, std::uint8_t value) {
    ssize_t n = ::write(fd, &value, 1);
    if (n == 1) return 0;
    if (n >= 0) errno = EIO;  // the adapter took nothing without saying why
    return -1;
}

// One SMBus transfer through I2C_SMBUS, built here so that nothing but the
// kernel headers is needed.
static int smbus_access(int fd, std::uint8_t read_write, std::uint8_t command, std::uint32_t size,
                        i2c_smbus_data* data) {
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = command;
    args.size = size;
    args.data = data;
    return ::ioctl(fd, I2C_SMBUS, &args) < 0 ? -1 : 0;
}

int i2c_smbus_write_byte_data(int fd, std::uint8_t reg, std::uint8_t value) {
    i2c_smbus_data data{};
    data.byte = value;
    return smbus_access(fd, I2C_SMBUS_WRITE, reg, I2C_SMBUS_BYTE_DATA, &data);
}

int i2c_smbus_read_byte_data(int fd, std::uint8_t reg) {
    i2c_smbus_data data{};
    if (smbus_access(fd, I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &data) != 0) return -1;
    return data.byte;
}

void wait_microseconds(unsigned long microseconds) {
    // usleep takes an unsigned int; longer waits are cut to what it can hold.
    if (microseconds > UINT_MAX) microseconds = UINT_MAX;
    ::usleep(static_cast<useconds_t>(microseconds));
}

void wait_seconds(unsigned seconds) { ::sleep(seconds); }

}  // namespace device_io
