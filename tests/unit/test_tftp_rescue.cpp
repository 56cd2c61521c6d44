// Tests of Rescue Mode command T through the console, with recording
// stand-ins for the network programs and the TFTP client, in private network
// and mount namespaces (the download path /tmp/image is a fresh tmpfs here).
#include "console/tftp_rescue.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/boot_sequence.hpp"
#include "net_test_support.hpp"

namespace {

// The message, then one dot for each of the twenty seconds of the wait.
const std::string CONFIGURING = "Configuring management port..." + std::string(20, '.') + "\n";

const std::string BUS_LOG = "/tmp/test_tftp_rescue.bus";
const bool sim_environment_set = [] {
    ::setenv("SLOTBOOT_SIM_TIME_SCALE", "0", 1);
    return true;
}();

const std::string INTRO =
    "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n";
const std::string NETWORK = "IP addr    :192.0.2.5\nNetmask    :\nGateway    :\n";
const std::string NETWORK_KEYS = "192.0.2.5\n\n\n";
// No eth0 exists in the test's network namespace.
const std::string CONFIGURED =
    CONFIGURING + "Open Interface eth0 error.\nMgmt link not available. Quitting.\n";

class TftpRescue : public ::testing::Test {
protected:
    void SetUp() override {
        break_requested = 0;
        if (!net_test::enter_private_network() || !net_test::enter_private_tmp())
            GTEST_SKIP() << "needs root: no private network and mount namespaces";
        // The tmpfs on /tmp is shared by the tests of this process: clear it.
        ASSERT_EQ(std::system("rm -rf /tmp/* && mkdir -p /tmp/bin"), 0);
        saved_path_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        ::setenv("PATH", ("/tmp/bin:" + saved_path_).c_str(), 1);
        ::setenv("SLOTBOOT_SIM_BUS_LOG", BUS_LOG.c_str(), 1);
        const std::string record =
            "{ printf %s \"$(basename \"$0\")\"; for a; do printf ' [%s]' \"$a\"; done; echo; }"
            " >> /tmp/calls\n";
        for (const char* tool : {"ifconfig", "route"})
            ASSERT_TRUE(net_test::write_file(std::string("/tmp/bin/") + tool,
                                             "#!/bin/sh\n" + record, 0755));
        // The TFTP client stand-in writes the local file (-l) on the calls
        // listed in /tmp/succeed-on (call numbers, one per line).
        ASSERT_TRUE(net_test::write_file(
            "/tmp/bin/tftp",
            "#!/bin/sh\n" + record +
                "n=$(grep -c '^tftp' /tmp/calls)\n"
                "grep -qx \"$n\" /tmp/succeed-on 2>/dev/null && echo fetched > \"$5\"\n"
                "exit 0\n",
            0755));
        active_ = true;
    }
    void TearDown() override {
        break_requested = 0;
        if (!active_) return;
        ::setenv("PATH", saved_path_.c_str(), 1);
    }

    static std::string calls() { return net_test::read_file("/tmp/calls"); }
    static std::string tftp_call(const std::string& name, const char* server = "192.0.2.1") {
        return "tftp [-g] [-r] [" + name + "] [-l] [/tmp/image] [" + server + "]\n";
    }
    static std::string attempt(const std::string& name, int n, bool failed = true) {
        std::string s = "Installing image " + name + " from TFTP server 192.0.2.1\n";
        if (failed) s += "Attempt " + std::to_string(n) + "/3 of tftp timed out\n";
        return s;
    }

    std::string saved_path_;
    bool active_ = false;
};

struct QuitCase {
    const char* name;
    std::string keys;
    std::string printed;
};

TEST_F(TftpRescue, QuitAndRefusedAnswers) {
    const std::string server = "Server addr:192.0.2.1\n";
    const std::string invalid = "Invalid filename. Try again please\n";
    const QuitCase cases[] = {
        {"q at the first question", "q\n", INTRO + "IP addr    :q\n"},
        {"Q at the gateway", "192.0.2.5\n\nQ\n",
         INTRO + "IP addr    :192.0.2.5\nNetmask    :\nGateway    :Q\n"},
        {"quit at the server", NETWORK_KEYS + "quit\n", INTRO + NETWORK + "Server addr:quit\n"},
        {"refused server, then q", NETWORK_KEYS + "0.0.0.1\nq\n",
         INTRO + NETWORK +
             "Server addr:0.0.0.1\nInvalid IP address 0.0.0.1. Try again please\n"
             "Server addr:q\n"},
        {"empty, one character and Q refused, then q", NETWORK_KEYS + "192.0.2.1\n\na\nQ\nq\n",
         INTRO + NETWORK + server + "Image Filename: \n" + invalid + "Image Filename: a\n" +
             invalid + "Image Filename: Q\n" + invalid + "Image Filename: q\n"},
    };
    for (const auto& c : cases) {
        std::remove("/tmp/calls");
        int result;
        std::string printed;
        std::string unread;
        {
            net_test::Console console(c.keys);
            result = tftp_rescue();
            printed = console.output();
            unread = console.unread();
        }
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(printed, c.printed) << c.name;
        EXPECT_EQ(unread, "") << c.name;
        EXPECT_EQ(calls(), "") << c.name;
    }
}

TEST_F(TftpRescue, NoAnswerThreeAttemptsThenAbort) {
    // A file from an earlier download must not count for this one.
    ASSERT_TRUE(net_test::write_file("/tmp/image", "stale"));
    std::remove(BUS_LOG.c_str());
    net_test::Console console(NETWORK_KEYS + "192.0.2.1\nquit\n");
    EXPECT_EQ(tftp_rescue(), 0);
    EXPECT_EQ(console.output(), INTRO + NETWORK + "Server addr:192.0.2.1\nImage Filename: quit\n" +
                                    CONFIGURED + attempt("quit", 1) + attempt("quit", 2) +
                                    attempt("quit", 3) + "Tftp download failed. Aborting\n");
    EXPECT_EQ(calls(), "ifconfig [eth0] [192.0.2.5]\n" + tftp_call("quit") + tftp_call("quit") +
                           tftp_call("quit"));
    EXPECT_NE(::access("/tmp/image", F_OK), 0);
    // Each failed attempt is followed by a 3-second pause, the last one too.
    const std::string log = net_test::read_file(BUS_LOG);
    const std::string tail = "wait 3s\nwait 3s\nwait 3s\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(TftpRescue, SecondAttemptSucceedsThenTheInstallerRuns) {
    ASSERT_TRUE(net_test::write_file("/tmp/succeed-on", "2\n"));
    net_test::Console console(NETWORK_KEYS + "192.0.2.1\nab\n");
    tftp_rescue();  // the installer refuses a file that is no bundle
    const std::string printed = console.output();
    const std::string expected = INTRO + NETWORK + "Server addr:192.0.2.1\nImage Filename: ab\n" +
                                 CONFIGURED + attempt("ab", 1) + attempt("ab", 2, false);
    EXPECT_EQ(printed.substr(0, expected.size()), expected);
    EXPECT_EQ(printed.find("Attempt 2/3"), std::string::npos);
    EXPECT_EQ(printed.find("Tftp download failed"), std::string::npos);
    EXPECT_EQ(calls(), "ifconfig [eth0] [192.0.2.5]\n" + tftp_call("ab") + tftp_call("ab"));
    EXPECT_EQ(net_test::read_file("/tmp/image"), "fetched\n");
}

TEST_F(TftpRescue, FileNameReachesTheClientUnchangedAndUninterpreted) {
    const std::string long_name(127, '\'');
    const std::string names[] = {"x;touch /tmp/owned", "$(touch /tmp/owned)", "a'b\"c`d` e",
                                 long_name};
    for (const auto& name : names) {
        std::remove("/tmp/calls");
        net_test::Console console(NETWORK_KEYS + "192.0.2.1\n" + name + "\n");
        EXPECT_EQ(tftp_rescue(), 0);
        EXPECT_EQ(calls(), "ifconfig [eth0] [192.0.2.5]\n" + tftp_call(name) + tftp_call(name) +
                               tftp_call(name))
            << name;
        EXPECT_NE(::access("/tmp/owned", F_OK), 0) << name;
        EXPECT_NE(console.output().find("Installing image " + name + " from TFTP server"),
                  std::string::npos);
    }
}

}  // namespace
