// The management port with stand-ins for the network programs (no eth0: the link test fails): the commands
// of a configuration and their order, and the MAC command's format check and answers.
#include "net/mgmt_port.hpp"

#include <arpa/inet.h>

#include "test_support.hpp"

namespace {

const std::string NO_LINK = "Open Interface eth0 error.\nMgmt link not available. Quitting.\n";

// A netmask is set with the port down, before the settling wait; the route only for a gateway.
TEST(ConfigureMgmtPort, CommandsInOrder) {
    if (!unit::enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    unit::Board board;  // no waiting
    board.apply();
    const std::string dots = "Configuring management port..." + std::string(20, '.') + "\n";
    const struct { bool dhcp; const char *netmask, *gateway; std::string printed, waits; } cases[] = {
        {false, "255.255.0.0", "0.0.0.0",
         "ifconfig [eth0] [10.0.0.2]\n\tNetmask    : 255.255.0.0\nifconfig [eth0] [down]\n"
         "ifconfig [eth0] [netmask] [255.255.0.0]\nifconfig [eth0] [up]\n" + dots,
         "wait 5s\n"},
        {true, "255.255.0.0", "10.0.0.1", "dhclient [-1] [eth0]\n", "wait 3s\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printed);
        std::filesystem::remove(board.config.bus_log);
        unit::Console console;
        const int result = configure_mgmt_port(c.dhcp, '0', in_addr{inet_addr("10.0.0.2")},
                                               in_addr{inet_addr(c.netmask)}, in_addr{inet_addr(c.gateway)});
        EXPECT_EQ(console.finish().out, c.printed + NO_LINK);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(board.log().starts_with(c.waits)) << board.log();
    }
}

// Six fields as "%x:%x:%x:%x:%x:%x" converts them: blanks, a sign or 0x may open a field, no range is
// checked, and what follows the sixth is ignored.
TEST(MacAddressWellFormed, AsScanfConvertsIt) {
    const struct { const char* text; bool well_formed; } cases[] = {
        {"aa:BB:cc:DD:ee:FF", true}, {"123:0:0:0:0:fff", true}, {"0x1:0X2:3:4:5:6", true}, {"0x:1:2:3:4:5", true},
        {" 1: 2:+3:-4:5:6", true},   {"1:2:3:4:5:6;>zz", true}, {"", false},               {"00:11:22:33:44:", false},
        {"00:11:22:33:44:gg", false}, {"00-11-22-33-44-55", false}, {"1 :2:3:4:5:6", false}, {"1:2:3:4:5:-", false},
    };
    for (const auto& c : cases) EXPECT_EQ(mac_address_well_formed(c.text), c.well_formed) << '"' << c.text << '"';
}

// Only exactly "q" quits; the answer reaches ifconfig as typed, and the shell interprets none of it.
TEST(SetMacAddress, Answers) {
    if (!unit::enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string p = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    const std::string bad = "Invalid MAC address. Try again please\n" + p;
    const struct { const char* keys; int result; std::string printed; } cases[] = {
        {"0:1:2:3:4:5\n", 1, p + "0:1:2:3:4:5\nifconfig [eth0] [hw] [ether] [0:1:2:3:4:5]\n"},
        {"Q\n00:11\nq\n", 0, p + "Q\n" + bad + "00:11\n" + bad + "q\n"},
        {"1:2:3:4:5:6'$(x)\n", 1, p + "1:2:3:4:5:6'$(x)\nifconfig [eth0] [hw] [ether] [1:2:3:4:5:6'$(x)]\n"},
        {"00:11\n", 0, p + "00:11\n" + bad + "\n"},  // the input ends: no more asking
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        unit::Console console(c.keys);
        const int result = set_mac_address();
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
    }
}

}  // namespace
