// The switch's device seam on descriptors that are no MTD or I2C device:
// every request fails as the kernel fails it, -1 with errno, and leaves the
// caller's geometry alone. (Its successes are met in the virtual machine.)
#include "platform/device_io.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

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

// A descriptor of each kind (-1: what a failed open leaves) and the error
// that every request on it must give.
struct Descriptors {
    std::array<int, 2> pipe_ends{-1, -1};
    FILE* file = std::tmpfile();
    int null = ::open("/dev/null", O_RDWR);
    Descriptors() { EXPECT_EQ(::pipe(pipe_ends.data()), 0); }
    ~Descriptors() {
        for (int fd : {pipe_ends[0], pipe_ends[1], null}) ::close(fd);
        if (file != nullptr) std::fclose(file);
    }
};

// qemu-user, which runs the PowerPC build of the tests, answers the device
// requests it does not translate with ENOSYS, whatever the descriptor.
bool requests_reach_a_kernel() {
    device_io::MtdInfo info{};
    errno = 0;
    return !(device_io::mtd_get_info(-1, &info) < 0 && errno == ENOSYS);
}

TEST(DeviceIoLinux, EveryRequestOnANonDeviceFailsWithErrno) {
    if (!requests_reach_a_kernel()) GTEST_SKIP() << "device requests end in the emulator";
    Descriptors d;
    ASSERT_NE(d.file, nullptr);
    const struct {
        const char* name;
        int fd;
        int error;
    } kinds[] = {
        {"no descriptor", -1, EBADF},
        {"/dev/null", d.null, ENOTTY},
        {"a regular file", fileno(d.file), ENOTTY},
        {"a pipe", d.pipe_ends[0], ENOTTY},
    };
    for (const auto& kind : kinds) {
        for (const Request& request : REQUESTS) {
            SCOPED_TRACE(std::string(request.name) + " on " + kind.name);
            errno = 0;
            EXPECT_EQ(request.run(kind.fd), -1);
            EXPECT_EQ(errno, kind.error);
        }
    }
}

TEST(DeviceIoLinux, PlainWriteFailsOnADescriptorThatTakesNoBytes) {
    Descriptors d;
    errno = 0;
    EXPECT_EQ(device_io::i2c_write_byte(d.pipe_ends[0], 0x40), -1);  // the read end
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(device_io::i2c_write_byte(-1, 0x40), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(device_io::i2c_close(-1), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
