// Tests of the serial download's port settings and of its Enter waits, fed
// through a pipe on the simulated clock.
#include "console/serial_rescue.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/sim_board.hpp"

namespace {

namespace fs = std::filesystem;

TEST(SerialTransferSettings, RawEightBitsNoParityAt115200) {
    struct termios console{};
    console.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | BRKINT | IGNCR | INLCR | PARMRK;
    console.c_oflag = OPOST | ONLCR;
    console.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | CLOCAL | HUPCL;
    console.c_lflag = ICANON | ECHO | ECHOE | ISIG | ECHOK | IEXTEN | ECHOCTL;
    for (int i = 0; i < NCCS; ++i) console.c_cc[i] = static_cast<cc_t>(i + 1);
    cfsetispeed(&console, B9600);
    cfsetospeed(&console, B9600);

    const struct termios t = serial_transfer_settings(console);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    // Control flags outside the frame format are kept.
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL | PARODD),
              static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL | PARODD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(t.c_lflag & (ECHOK | IEXTEN | ECHOCTL),
              static_cast<tcflag_t>(ECHOK | IEXTEN | ECHOCTL));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    for (int i = 0; i < NCCS; ++i) EXPECT_EQ(t.c_cc[i], console.c_cc[i]) << "c_cc[" << i << "]";
}

class EnterWait : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/test_serial_rescue.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        sim_board::Config c;
        c.flash_dir = dir_.string();
        c.slot_register = (dir_ / "slot-register.bin").string();
        c.bus_log = (dir_ / "bus.log").string();
        c.time_scale = 0;
        ASSERT_TRUE(sim_board::configure(c));
    }
    void TearDown() override {
        sim_board::reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Feeds `typed` through a non-blocking pipe, as the port delivers it, and
    // waits for `key`. Returns what was printed.
    std::string wait_on(const std::string& typed, unsigned char key) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        wait_for_key_byte(fds[0], key, "WAITING");
        std::fflush(stdout);
        std::string out = ::testing::internal::GetCapturedStdout();
        // Whatever followed the key is left for the next reader.
        char rest[64];
        const ssize_t n = ::read(fds[0], rest, sizeof rest);
        left_ = n > 0 ? std::string(rest, static_cast<std::size_t>(n)) : "";
        ::close(fds[0]);
        ::close(fds[1]);
        return out;
    }

    // The one-second waits the wait put on the simulated clock.
    int seconds_waited() const {
        std::ifstream log(dir_ / "bus.log");
        std::string line;
        int n = 0;
        while (std::getline(log, line)) n += line == "wait 1s";
        return n;
    }

    fs::path dir_;
    std::string left_;
};

TEST_F(EnterWait, WaitingLineAfterEveryElevenPassesWithoutTheKey) {
    struct {
        int others;  // bytes typed before the key, one pass each
        int lines;
    } const rows[] = {{0, 0}, {10, 0}, {11, 1}, {21, 1}, {22, 2}, {40, 3}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.others);
        ASSERT_TRUE(std::ofstream(dir_ / "bus.log", std::ios::trunc).good());
        const std::string out = wait_on(std::string(static_cast<std::size_t>(r.others), 'x') + "\r", 13);
        std::string expected;
        for (int i = 0; i < r.lines; ++i) expected += "WAITING\n";
        EXPECT_EQ(out, expected);
        EXPECT_EQ(seconds_waited(), r.others);
    }
}

// The begin wait takes a carriage return, the end wait a line feed; the other
// byte is just another key, and nothing after the key is consumed.
TEST_F(EnterWait, EachWaitEndsOnlyAtItsOwnByte) {
    wait_on("\n\nab\r\nrest", 13);
    EXPECT_EQ(left_, "\nrest");
    EXPECT_EQ(seconds_waited(), 4);

    wait_on("\r\r\nrest", 10);
    EXPECT_EQ(left_, "rest");
    EXPECT_EQ(seconds_waited(), 4 + 2);
}

}  // namespace
