// Rescue Mode command X: switches the console line to the transfer settings,
// runs the XMODEM receiver, switches back and installs what arrived.
#include "rescue/serial_rescue.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"
#include "platform/switch_paths.hpp"
#include "rescue/install_download.hpp"

namespace {

constexpr const char* RECEIVER = "/usr/bin/rx";
constexpr unsigned char CARRIAGE_RETURN = 13;
constexpr unsigned char LINE_FEED = 10;
constexpr unsigned WAITING_LINE_PASSES = 10;

// The console settings of the port while the transfer settings are on.
struct termios saved_port_settings;

// Lets queued output go out and drops whatever is pending, both ways.
void settle_port(int port) {
    std::fflush(stdout);
    tcdrain(port);
    tcflush(port, TCIOFLUSH);
}

}  // namespace

// Raw 8N1 at 115200 bps: no translation or flow control in either direction,
// no echo, no signals; the control characters stay as they were.
struct termios serial_transfer_settings(const struct termios& console) {
    struct termios t = console;
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return t;
}

void wait_for_key_byte(int port, unsigned char key, const char* waiting_line) {
    std::fflush(stdout);
    unsigned passes = 0;
    for (;;) {
        unsigned char c = 0;
        if (::read(port, &c, 1) == 1 && c == key) return;
        device_io::wait_seconds(1);
        if (passes == WAITING_LINE_PASSES) {
            passes = 0;
            std::puts(waiting_line);
            std::fflush(stdout);
        } else {
            ++passes;
        }
    }
}

int serial_download_begin() {
    const int port = ::open(serial_port_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) {
        std::fflush(stdout);
        std::perror("Can't open serial port!");
        return -1;
    }
    // Settings that cannot be read could not be put back after the transfer:
    // the port is left as it is and the download given up, like a port that
    // does not open.
    if (tcgetattr(port, &saved_port_settings) != 0) {
        std::fflush(stdout);
        std::perror("Can't read serial port settings");
        ::close(port);
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    settle_port(port);
    const struct termios transfer = serial_transfer_settings(saved_port_settings);
    tcsetattr(port, TCSADRAIN, &transfer);
    tcflow(port, TCOON);
    wait_for_key_byte(port, CARRIAGE_RETURN,
                      "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
                      "start...\r");
    return port;
}

void serial_download_end(int port) {
    if (port < 0) return;
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    settle_port(port);
    tcsetattr(port, TCSADRAIN, &saved_port_settings);
    tcflow(port, TCOON);
    wait_for_key_byte(port, LINE_FEED, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

InstallOutcome xmodem_rescue() {
    std::puts("Running xmodem rescue.....");
    // A file left by an earlier download, or by a receiver that failed, must
    // never be taken for what this transfer brought.
    const std::string download = download_path();
    if (::unlink(download.c_str()) != 0 && errno != ENOENT) {
        std::perror("Can't remove /tmp/image");
        return InstallOutcome::nothing_installed;
    }
    const int port = serial_download_begin();
    if (port < 0) return InstallOutcome::nothing_installed;
    run_shell((std::string(RECEIVER) + " " + download).c_str());
    const bool received = path_exists(download.c_str());
    serial_download_end(port);
    ::close(port);
    if (!received) return InstallOutcome::nothing_installed;
    return install_download();
}
