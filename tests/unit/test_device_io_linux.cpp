// The device seam on descriptors that are no device: -1 with the kernel's errno, the caller's
// geometry left alone. (Its successes: the virtual machine.)
#include "platform/device_io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace {

struct Request {
    const char* name;
    std::function<long(int fd)> run;
};

const Request REQUESTS[] = {
    {"MEMGETINFO",
     [](int fd) {
         device_io::MtdInfo info{0xA5A5A5A5, 0x5A5A5A5A};
         const long r = device_io::mtd_get_info(fd, &info);
         const int error = errno;
         EXPECT_EQ(info.size, 0xA5A5A5A5u);
         EXPECT_EQ(info.erasesize, 0x5A5A5A5Au);
         errno = error;
         return r;
     }},
    {"MEMERASE", [](int fd) { return long{device_io::mtd_erase(fd, 0, 65536)}; }},
    {"I2C_SLAVE", [](int fd) { return long{device_io::i2c_set_target(fd, 0x54)}; }},
    {"SMBus write", [](int fd) { return long{device_io::i2c_smbus_write_byte_data(fd, 0x3a, 4)}; }},
    {"SMBus read", [](int fd) { return long{device_io::i2c_smbus_read_byte_data(fd, 0)}; }},
};

// qemu-user (the PowerPC tests) answers requests it does not translate with ENOSYS.
bool requests_reach_a_kernel() {
    device_io::MtdInfo info{};
    errno = 0;
    return !(device_io::mtd_get_info(-1, &info) < 0 && errno == ENOSYS);
}

TEST(DeviceIoLinux, EveryRequestOnANonDeviceFailsWithErrno) {
    if (!requests_reach_a_kernel()) GTEST_SKIP() << "device requests end in the emulator";
    const int null = ::open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    for (const auto& [fd, error] : {std::pair{-1, EBADF}, {null, ENOTTY}}) {
        for (const Request& request : REQUESTS) {
            SCOPED_TRACE(std::string(request.name) + " on " + std::to_string(fd));
            errno = 0;
            EXPECT_EQ(request.run(fd), -1);
            EXPECT_EQ(errno, error);
        }
    }
    ::close(null);
}

TEST(DeviceIoLinux, PlainWriteAndCloseFailWithErrno) {
    const int read_only = ::open("/dev/null", O_RDONLY);
    errno = 0;
    EXPECT_EQ(device_io::i2c_write_byte(read_only, 0x40), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(read_only);
    errno = 0;
    EXPECT_EQ(device_io::i2c_close(-1), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
