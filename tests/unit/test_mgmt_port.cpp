// Tests of the management port: the MAC format check, the link test with the
// real ioctls on a veth pair named eth0, the configuration commands and waits,
// and the MAC command through the console.
#include "net/mgmt_port.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/boot_sequence.hpp"
#include "net_test_support.hpp"

namespace {

// The message, then one dot for each of the twenty seconds of the wait.
const std::string CONFIGURING = "Configuring management port..." + std::string(20, '.') + "\n";

// Waits are scaled down (not removed: the kernel needs a moment to report
// the carrier of a port brought up by the commands), and every wait is
// logged, so the tests can read the exact sequence of waits.
const std::string BUS_LOG = "/tmp/test_mgmt_port.bus." + std::to_string(::getpid());
const bool sim_environment_set = [] {
    ::setenv("SLOTBOOT_SIM_TIME_SCALE", "0.01", 1);
    ::setenv("SLOTBOOT_SIM_BUS_LOG", BUS_LOG.c_str(), 1);
    return true;
}();

in_addr addr(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return a;
}

// --- mac_address_well_formed ------------------------------------------------

struct MacCase {
    const char* text;
    bool well_formed;
};

const MacCase MAC_CASES[] = {
    {"00:11:22:33:44:55", true},
    {"0:1:2:3:4:5", true},          // short fields, passed on as typed
    {"aa:BB:cc:DD:ee:FF", true},
    {"00:11:22:33:44:55xyz", true},  // text after the sixth field is not looked at
    {"00:11:22:33:44:55:66", true},
    {"123:0:0:0:0:fff", true},       // no range test
    {"0x1:0X2:3:4:5:6", true},
    {"q", false},
    {"Q", false},
    {"", false},
    {"00:11:22:33:44", false},       // five fields
    {"00:11:22:33:44:", false},
    {"00:11:22:33:44:gg", false},    // non-hex
    {"zz:11:22:33:44:55", false},
    {"00-11-22-33-44-55", false},
    {"00:11:22:33:44 :55", false},   // blank before a colon
    {"00:11::33:44:55", false},
};

TEST(MacAddressWellFormed, Table) {
    for (const auto& c : MAC_CASES)
        EXPECT_EQ(mac_address_well_formed(c.text), c.well_formed) << '"' << c.text << '"';
}

// The check answers as the C library's "%x:%x:%x:%x:%x:%x" pattern does
// (with values small enough not to overflow it).
TEST(MacAddressWellFormed, AgreesWithScanfPattern) {
    const char* inputs[] = {
        "1:2:3:4:5:6",   " 1: 2:3:4:5:6", "+1:-2:3:4:5:6", "1 :2:3:4:5:6", "x1:2:3:4:5:6",
        "-:1:2:3:4:5",   "0X1f:2:3:4:5:6", "1:2:3:4:5:",  "1:2:3:4:5:0x", "0x:1:2:3:4:5",
        "0xg:1:2:3:4:5", "1:2:3:4:5:+",    "\t1:2:3:4:5:6", "1:2:3:4:5:6 ", ":1:2:3:4:5",
        "1:2:3:4:5:-0x", "ab:cd:ef:AB:CD:EF", "1:2:3:4:5:6;>zz",
    };
    for (const char* text : inputs) {
        unsigned v[6];
        const bool scanf_ok =
            std::sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6;
        EXPECT_EQ(mac_address_well_formed(text), scanf_ok) << '"' << text << '"';
    }
}

// --- the port itself, in a private network namespace ---------------------------

// qemu-user (which runs the PowerPC build of the tests) does not pass
// SIOCETHTOOL on to the kernel; the link test can only be exercised where it
// does. Probed on the loopback device, which every namespace has.
bool ethtool_requests_work() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", sizeof request.ifr_name - 1);
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char*>(&link);
    const bool unsupported = ::ioctl(fd, SIOCETHTOOL, &request) < 0 && errno == ENOSYS;
    ::close(fd);
    return !unsupported;
}

std::string busybox_path() {
    std::string path = net_test::shell_output("command -v busybox");
    while (!path.empty() && (path.back() == '\n')) path.pop_back();
    return path;
}

class MgmtPort : public ::testing::Test {
protected:
    void SetUp() override {
        break_requested = 0;
        if (!net_test::enter_private_network())
            GTEST_SKIP() << "needs root: no private network namespace";
        busybox_ = busybox_path();
        if (busybox_.empty()) GTEST_SKIP() << "needs busybox";
        char dir[] = "/tmp/test_mgmt_port.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        bin_ = dir_ + "/bin";
        ASSERT_EQ(std::system(("mkdir -p " + bin_).c_str()), 0);
        saved_path_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        ::setenv("PATH", (bin_ + ":" + saved_path_).c_str(), 1);
        std::remove(BUS_LOG.c_str());
        ::system("ip link del eth0 2>/dev/null");
    }
    void TearDown() override {
        if (dir_.empty()) return;
        ::system("ip link del eth0 2>/dev/null");
        ::setenv("PATH", saved_path_.c_str(), 1);
        ::system(("rm -rf " + dir_).c_str());
        std::remove(BUS_LOG.c_str());
    }

    // For the tests whose result depends on the kernel's link report.
    bool link_test_unavailable() const { return !ethtool_requests_work(); }

    // The network tools are the switch's: busybox applets.
    void use_busybox_tools() {
        for (const char* tool : {"ifconfig", "route"})
            ASSERT_EQ(::symlink(busybox_.c_str(), (bin_ + "/" + tool).c_str()), 0);
    }
    // Stand-ins that record each call, one line per call, with every argument
    // in brackets as the program received it.
    void use_recording_tools() {
        for (const char* tool : {"ifconfig", "route", "dhclient"}) {
            const std::string script = "#!/bin/sh\n{ printf %s \"$(basename \"$0\")\"; "
                                       "for a; do printf ' [%s]' \"$a\"; done; echo; } >> " +
                                       calls_path() + "\n";
            ASSERT_TRUE(net_test::write_file(bin_ + "/" + tool, script, 0755));
        }
    }
    std::string calls_path() const { return dir_ + "/calls"; }
    std::string calls() const { return net_test::read_file(calls_path()); }

    // The waits logged since the test began, one per line ("wait 5s").
    static std::string waits() {
        std::string all = net_test::read_file(BUS_LOG);
        std::string result;
        std::size_t pos = 0;
        while (pos < all.size()) {
            std::size_t end = all.find('\n', pos);
            if (end == std::string::npos) end = all.size();
            const std::string line = all.substr(pos, end - pos);
            if (line.rfind("wait ", 0) == 0) result += line + "\n";
            pos = end + 1;
        }
        return result;
    }

    // eth0 with its cable end (peer0); `cable` brings the far end up.
    static void make_eth0(bool up, bool cable) {
        ASSERT_EQ(std::system("ip link add eth0 type veth peer name peer0"), 0);
        if (cable) {
            ASSERT_EQ(std::system("ip link set peer0 up"), 0);
        }
        if (up) {
            ASSERT_EQ(std::system("ip link set eth0 up"), 0);
        }
    }
    // The kernel reports a carrier change a moment after the change.
    static void settle(const char* state) {
        const std::string cmd =
            std::string("for i in $(seq 50); do ip link show eth0 | grep -q 'state ") + state +
            "' && exit 0; sleep 0.05; done; exit 1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << state;
    }

    std::string busybox_;
    std::string dir_;
    std::string bin_;
    std::string saved_path_;
};

TEST_F(MgmtPort, LinkTestStates) {
    if (link_test_unavailable()) GTEST_SKIP() << "SIOCETHTOOL not passed on (emulator)";
    {
        net_test::Console console("");
        EXPECT_EQ(mgmt_link_up(), 0);
        EXPECT_EQ(console.output(), "Open Interface eth0 error.\n");
    }
    make_eth0(false, true);
    {
        net_test::Console console("");
        EXPECT_EQ(mgmt_link_up(), 0) << "administratively down";
        EXPECT_EQ(console.output(), "");
    }
    ASSERT_EQ(std::system("ip link set peer0 down && ip link set eth0 up"), 0);
    settle("LOWERLAYERDOWN");
    {
        net_test::Console console("");
        EXPECT_EQ(mgmt_link_up(), 0) << "up without carrier";
        EXPECT_EQ(console.output(), "");
    }
    ASSERT_EQ(std::system("ip link set peer0 up"), 0);
    settle("UP");
    {
        net_test::Console console("");
        EXPECT_EQ(mgmt_link_up(), 1) << "up with carrier";
        EXPECT_EQ(console.output(), "");
    }
}

TEST_F(MgmtPort, StaticWithNetmaskAndGateway) {
    if (link_test_unavailable()) GTEST_SKIP() << "SIOCETHTOOL not passed on (emulator)";
    use_busybox_tools();
    make_eth0(true, true);
    settle("UP");
    net_test::Console console("");
    EXPECT_EQ(configure_mgmt_port(false, '0', addr("192.0.2.5"), addr("255.255.255.0"),
                                  addr("192.0.2.1")),
              1);
    EXPECT_EQ(console.output(),
              "\tNetmask    : 255.255.255.0\n\tGateway    : 192.0.2.1\n" + CONFIGURING);
    EXPECT_NE(net_test::shell_output("ip -4 addr show eth0").find("inet 192.0.2.5/24"),
              std::string::npos);
    EXPECT_NE(net_test::shell_output("ip route show default").find("default via 192.0.2.1"),
              std::string::npos);
    std::string expected_waits = "wait 5s\n";
    for (int i = 0; i < 21; ++i) expected_waits += "wait 1s\n";
    EXPECT_EQ(waits(), expected_waits);
}

TEST_F(MgmtPort, StaticCommandLines) {
    if (link_test_unavailable()) GTEST_SKIP() << "SIOCETHTOOL not passed on (emulator)";
    use_recording_tools();
    make_eth0(true, true);
    settle("UP");
    struct Case {
        const char* netmask;
        const char* gateway;
        const char* calls;
        const char* printed;
    };
    const Case cases[] = {
        {"0.0.0.0", "0.0.0.0", "ifconfig [eth0] [10.1.2.3]\n", ""},
        {"255.255.0.0", "0.0.0.0",
         "ifconfig [eth0] [10.1.2.3]\nifconfig [eth0] [down]\n"
         "ifconfig [eth0] [netmask] [255.255.0.0]\nifconfig [eth0] [up]\n",
         "\tNetmask    : 255.255.0.0\n"},
        {"0.0.0.0", "10.1.0.1",
         "ifconfig [eth0] [10.1.2.3]\nroute [add] [default] [gw] [10.1.0.1]\n",
         "\tGateway    : 10.1.0.1\n"},
    };
    for (const auto& c : cases) {
        std::remove(calls_path().c_str());
        net_test::Console console("");
        EXPECT_EQ(configure_mgmt_port(false, '0', addr("10.1.2.3"), addr(c.netmask),
                                      addr(c.gateway)),
                  1);
        EXPECT_EQ(console.output(), std::string(c.printed) + CONFIGURING);
        EXPECT_EQ(calls(), c.calls);
    }
}

TEST_F(MgmtPort, NoCarrierReportsNoLink) {
    if (link_test_unavailable()) GTEST_SKIP() << "SIOCETHTOOL not passed on (emulator)";
    use_recording_tools();
    make_eth0(true, false);
    net_test::Console console("");
    EXPECT_EQ(configure_mgmt_port(false, '0', addr("10.1.2.3"), in_addr{}, in_addr{}), 0);
    EXPECT_EQ(console.output(),
              CONFIGURING + "Mgmt link not available. Quitting.\n");
}

TEST_F(MgmtPort, DhcpRunsTheClientAndWaitsThreeSeconds) {
    if (link_test_unavailable()) GTEST_SKIP() << "SIOCETHTOOL not passed on (emulator)";
    use_recording_tools();
    make_eth0(true, true);
    settle("UP");
    net_test::Console console("");
    EXPECT_EQ(configure_mgmt_port(true, '0', in_addr{}, in_addr{}, in_addr{}), 1);
    EXPECT_EQ(console.output(), "");
    EXPECT_EQ(calls(), "dhclient [-1] [eth0]\n");
    EXPECT_EQ(waits(), "wait 3s\n");
}

TEST_F(MgmtPort, OtherPortDigitHasNoLinkTest) {
    use_recording_tools();  // and no eth0 at all
    net_test::Console console("");
    EXPECT_EQ(configure_mgmt_port(true, '1', in_addr{}, in_addr{}, in_addr{}), 1);
    EXPECT_EQ(console.output(), "");
    EXPECT_EQ(calls(), "dhclient [-1] [eth1]\n");
}

TEST_F(MgmtPort, SetupQuitAtTheDialogueConfiguresNothing) {
    use_recording_tools();
    net_test::Console console("q\n");
    EXPECT_EQ(setup_mgmt_network(false), 0);
    EXPECT_EQ(console.output(), "IP addr    :q\n");
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(waits(), "");
}

TEST_F(MgmtPort, SetupConfiguresWhatWasAnswered) {
    if (link_test_unavailable()) GTEST_SKIP() << "SIOCETHTOOL not passed on (emulator)";
    use_recording_tools();
    make_eth0(true, true);
    settle("UP");
    net_test::Console console("192.0.2.7\n\n192.0.2.1\n");
    EXPECT_EQ(setup_mgmt_network(false), 1);
    EXPECT_EQ(console.output(),
              "IP addr    :192.0.2.7\nNetmask    :\nGateway    :192.0.2.1\n"
              "\tGateway    : 192.0.2.1\n" + CONFIGURING);
    EXPECT_EQ(calls(), "ifconfig [eth0] [192.0.2.7]\nroute [add] [default] [gw] [192.0.2.1]\n");
}

// --- menu command M ---------------------------------------------------------------

const char* const MAC_PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): ";

TEST_F(MgmtPort, MacAddressChangesTheRealPort) {
    use_busybox_tools();
    make_eth0(false, true);
    net_test::Console console("00:11:22:33:44:55\n");
    EXPECT_EQ(set_mac_address(), 1);
    EXPECT_EQ(console.output(), std::string(MAC_PROMPT) + "00:11:22:33:44:55\n");
    EXPECT_NE(net_test::shell_output("ip link show eth0").find("link/ether 00:11:22:33:44:55"),
              std::string::npos);
}

TEST_F(MgmtPort, MacAnswers) {
    use_recording_tools();
    const std::string invalid = "Invalid MAC address. Try again please\n";
    const std::string p = MAC_PROMPT;
    struct Case {
        const char* keys;
        int result;
        std::string printed;
        const char* calls;
    };
    const Case cases[] = {
        {"0:1:2:3:4:5\n", 1, p + "0:1:2:3:4:5\n", "ifconfig [eth0] [hw] [ether] [0:1:2:3:4:5]\n"},
        {"q\n", 0, p + "q\n", ""},
        {"Q\nq\n", 0, p + "Q\n" + invalid + p + "q\n", ""},
        {"00:11:22:33:44\nqq\nq\n", 0, p + "00:11:22:33:44\n" + invalid + p + "qq\n" + invalid +
                                          p + "q\n",
         ""},
        {"0:1:2:3:4:5 x\n", 1, p + "0:1:2:3:4:5 x\n",
         "ifconfig [eth0] [hw] [ether] [0:1:2:3:4:5 x]\n"},
        // The shell sees the whole answer as one quoted word and interprets
        // none of it: no file "zz" appears.
        {"1:2:3:4:5:6;>zz\n", 1, p + "1:2:3:4:5:6;>zz\n",
         "ifconfig [eth0] [hw] [ether] [1:2:3:4:5:6;>zz]\n"},
        {"1:2:3:4:5:6'$(>y\n", 1, p + "1:2:3:4:5:6'$(>y\n",
         "ifconfig [eth0] [hw] [ether] [1:2:3:4:5:6'$(>y]\n"},
    };
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    for (const auto& c : cases) {
        std::remove(calls_path().c_str());
        int result;
        std::string printed;
        {
            net_test::Console console(c.keys);
            result = set_mac_address();
            printed = console.output();
        }
        EXPECT_EQ(result, c.result) << c.keys;
        EXPECT_EQ(printed, c.printed) << c.keys;
        EXPECT_EQ(calls(), c.calls) << c.keys;
        EXPECT_NE(::access((dir_ + "/zz").c_str(), F_OK), 0) << c.keys;
        EXPECT_NE(::access((dir_ + "/y").c_str(), F_OK), 0) << c.keys;
    }
    ASSERT_EQ(::chdir(cwd), 0);
}

TEST_F(MgmtPort, BreakAtTheMacPromptRunsNothing) {
    use_recording_tools();
    break_requested = 1;
    net_test::Console console("00:11:22:33:44:55\n");
    EXPECT_EQ(set_mac_address(), 0);
    EXPECT_EQ(console.output(), std::string(MAC_PROMPT) + "00:11:22:33:44:55\n");
    EXPECT_EQ(calls(), "");
    break_requested = 0;
}

}  // namespace
