// Tests of the download commands: T with stand-ins for the network programs and
// a TFTP client that never fetches, X on a port that is no terminal (real
// downloads of both run in the system tests).
#include "rescue/tftp_rescue.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/switch_paths.hpp"
#include "rescue/serial_rescue.hpp"
#include "net_test_support.hpp"

namespace {

// Each row starts with a /tmp/image left by an earlier download, which a
// failed transfer must not count as downloaded; a /tmp/image that cannot be
// removed (a directory) gives the download up before the client runs.
TEST(TftpRescue, Dialogues) {
    if (!net_test::enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    ::setenv("SLOTBOOT_SIM_TIME_SCALE", "0", 1);
    const std::string keys = "192.0.2.5\n\n\n192.0.2.1\n", ask = "Image Filename: ";
    const std::string asked =
        "IP addr    :192.0.2.5\nNetmask    :\nGateway    :\nServer addr:192.0.2.1\n" + ask;
    const std::string bad = "Invalid filename. Try again please\n" + ask;
    const std::string configured = "ab\nifconfig [eth0] [192.0.2.5]\nConfiguring management port..." +
                                   std::string(20, '.') +
                                   "\nOpen Interface eth0 error.\nMgmt link not available. Quitting.\n" +
                                   "Installing image ab from TFTP server 192.0.2.1\n";
    std::string failed = ask + configured;
    for (const char* n : {"1", "2", "3"})
        failed += std::string(*n == '1' ? "" : "Installing image ab from TFTP server 192.0.2.1\n") +
                  "tftp [-g] [-r] [ab] [-l] [/tmp/image] [192.0.2.1]\nAttempt " + n + "/3 of tftp timed out\n";
    const struct { std::string keys, printed; bool stuck = false; } cases[] = {
        {keys + "\na\nQ\nq\n", asked + "\n" + bad + "a\n" + bad + "Q\n" + bad + "q\n"},
        {keys + "a\n", asked + "a\n" + bad + "\n"},  // the input ends: no more asking
        {keys + "ab\n", asked + configured, true},
        // A refused gateway, then an empty answer: no gateway (no route call).
        {"192.0.2.5\n\n240.1.1.1\n\n192.0.2.1\nab\n",
         "IP addr    :192.0.2.5\nNetmask    :\nGateway    :240.1.1.1\nInvalid IP address "
         "240.1.1.1. Try again please\nGateway    :\nServer addr:192.0.2.1\n" +
             failed + "Tftp download failed. Aborting\n"},
    };
    const std::string intro =
        "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n";
    for (const auto& c : cases) {
        if (c.stuck) std::filesystem::create_directories("/tmp/image/old");
        else std::ofstream("/tmp/image") << "stale";
        InstallOutcome result = InstallOutcome::installed;
        testing::internal::CaptureStderr();
        EXPECT_EQ(net_test::converse(c.keys, [&] { result = tftp_rescue(); }), intro + c.printed);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.stuck ? "Can't remove /tmp/image: Is a directory\n" : "");
        EXPECT_EQ(result, InstallOutcome::nothing_installed) << c.keys;
        const bool fetching = c.printed.find("tftp [") != std::string::npos;
        EXPECT_EQ(::access("/tmp/image", F_OK) == 0, !fetching) << c.keys;
        std::filesystem::remove_all("/tmp/image");
    }
}

// X: a port whose settings cannot be read (no terminal) is left as it is, and
// the download is given up before the operator is asked to change speed; the
// Enter bytes waiting on the port stay unread.
TEST(SerialRescue, PortWhoseSettingsCannotBeRead) {
    char dir[] = "/tmp/slotboot-serial-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string port = std::string(dir) + "/dev/ttyS0";
    ASSERT_TRUE(std::filesystem::create_directory(std::string(dir) + "/dev"));
    ASSERT_EQ(::mkfifo(port.c_str(), 0600), 0);
    const int line = ::open(port.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(::write(line, "\r\n", 2), 2);  // Enter at either speed
    set_path_root_for_testing(dir);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_download_begin(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't read serial port settings: Inappropriate ioctl for device\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    char left[3];
    EXPECT_EQ(::read(line, left, sizeof left), 2);
    set_path_root_for_testing("");
    ::close(line);
    std::filesystem::remove_all(dir);
}

}  // namespace
