// net/: the network settings dialogue (the plausibility rule, one address question, the whole dialogue) and the
// management port with stand-ins for the network programs (no eth0: the link test fails): the commands of a
// configuration in their order, and the MAC command.
#include <arpa/inet.h>

#include "net/mgmt_port.hpp"
#include "net/network_dialog.hpp"
#include "test_support.hpp"

namespace {

using namespace unit;

TEST(IpAddressPlausible, FirstOctetFrom1To239) {
    const struct {
        const char* address;
        int plausible;
    } cases[] = {
        {"0.255.255.255", 0},   {"1.0.0.0", 1},   {"127.0.0.1", 1},
        {"239.255.255.255", 1}, {"240.0.0.0", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ip_address_plausible(in_addr{inet_addr(c.address)}), c.plausible) << c.address;
}

// The keys typed at "A:", whether an answer is required and checked for plausibility, the slot before and
// after, the result, all that was printed.
TEST(PromptIpAddress, Answers) {
    const std::string bad = "Invalid IP address. Try again please\nA:";
    const struct {
        const char* keys;
        bool required, validate;
        const char *before, *after;
        int result;
        std::string printed;
    } cases[] = {
        {"10.1\n", true, true, "0.0.0.0", "10.0.0.1", 1, "A:10.1\n"},  // the inet_aton form
        {"0.1.2.3\n1.1.1.1\n", true, true, "0.0.0.0", "1.1.1.1", 1,
         "A:0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\nA:1.1.1.1\n"},
        {"1.2.3.256\n\n2.2.2.2\n", true, true, "0.0.0.0", "2.2.2.2", 1,
         "A:1.2.3.256\n" + bad + "\n" + bad + "2.2.2.2\n"},
        {"\n", false, true, "9.9.9.9", "9.9.9.9", 1, "A:\n"},  // optional: the slot keeps its value
        {"0.0.0.0\n", false, false, "1.1.1.1", "0.0.0.0", 1, "A:0.0.0.0\n"},  // not checked
        {"q\n", true, true, "4.4.4.4", "4.4.4.4", 0, "A:q\n"},
        {"Quit\n", false, true, "4.4.4.4", "4.4.4.4", 0, "A:Quit\n"},
        // A refused address never stays in the slot: an empty answer after it leaves what the slot held.
        {"240.0.0.1\n\n", false, true, "0.0.0.0", "0.0.0.0", 1,
         "A:240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\nA:\n"},
        // The console's input ends: the question gives up instead of asking again.
        {"x\n", true, true, "7.7.7.7", "7.7.7.7", 0, "A:x\n" + bad + "\n"},
        {"1.2.3.4", true, true, "7.7.7.7", "7.7.7.7", 0, "A:1.2.3.4\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        in_addr slot{inet_addr(c.before)};
        Console console(c.keys);
        const int result = prompt_ip_address("A:", &slot, c.required, c.validate);
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(slot.s_addr, inet_addr(c.after));
    }
}

// DHCP allowed: asked only when /bin/dhclient exists, and any answer but one beginning with y or Y means the
// static questions. A quit at the gateway keeps the address and netmask already given.
TEST(PromptNetworkSettings, Answers) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string dhcp = "Confirm: Use DHCP for network configuration? y/N: ";
    const struct {
        bool dhclient;
        const char* keys;
        int result;
        bool use_dhcp;
        const char *ip, *netmask;
        std::string printed;
    } cases[] = {
        {true, "yes\n", 1, true, "0.0.0.0", "0.0.0.0", dhcp + "yes\n\n"},
        {true, "Y\n", 1, true, "0.0.0.0", "0.0.0.0", dhcp + "Y\n\n"},
        {true, "q\n1.2.3.4\n\n\n", 1, false, "1.2.3.4", "0.0.0.0",
         dhcp + "q\n\nIP addr    :1.2.3.4\nNetmask    :\nGateway    :\n"},
        {false, "1.2.3.4\n255.0.0.0\nQ\n", 0, false, "1.2.3.4", "255.0.0.0",
         "IP addr    :1.2.3.4\nNetmask    :255.0.0.0\nGateway    :Q\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        if (c.dhclient)
            stand_in("dhclient");
        else
            std::filesystem::remove("/usr/bin/dhclient");
        bool use_dhcp = !c.use_dhcp;
        in_addr ip{}, netmask{}, gateway{};
        Console console(c.keys);
        const int result = prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, true);
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(use_dhcp, c.use_dhcp);
        EXPECT_EQ(ip.s_addr, inet_addr(c.ip));
        EXPECT_EQ(netmask.s_addr, inet_addr(c.netmask));
        EXPECT_EQ(gateway.s_addr, 0u);
    }
}

const std::string NO_LINK = "Open Interface eth0 error.\nMgmt link not available. Quitting.\n";

// A netmask is set with the port down, before the settling wait; the route only for a gateway.
TEST(ConfigureMgmtPort, CommandsInOrder) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    stand_in("dhclient");
    Board board;  // no waiting
    board.apply();
    const std::string dots = "Configuring management port..." + std::string(20, '.') + "\n";
    const struct {
        bool dhcp;
        const char *netmask, *gateway;
        std::string printed, waits;
    } cases[] = {
        {false, "255.255.0.0", "0.0.0.0",
         "ifconfig [eth0] [10.0.0.2]\n\tNetmask    : 255.255.0.0\nifconfig [eth0] [down]\n"
         "ifconfig [eth0] [netmask] [255.255.0.0]\nifconfig [eth0] [up]\n" +
             dots,
         "wait 5s\n"},
        {true, "255.255.0.0", "10.0.0.1", "dhclient [-1] [eth0]\n", "wait 3s\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printed);
        std::filesystem::remove(board.config.bus_log);
        Console console;
        const int result =
            configure_mgmt_port(c.dhcp, '0', in_addr{inet_addr("10.0.0.2")},
                                in_addr{inet_addr(c.netmask)}, in_addr{inet_addr(c.gateway)});
        EXPECT_EQ(console.finish().out, c.printed + NO_LINK);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(board.log().starts_with(c.waits)) << board.log();
    }
}

// Six fields as "%x:%x:%x:%x:%x:%x" converts them: blanks, a sign or 0x may open a field, no range is
// checked, and what follows the sixth is ignored.
TEST(MacAddressWellFormed, AsScanfConvertsIt) {
    const struct {
        const char* text;
        bool well_formed;
    } cases[] = {
        {"aa:BB:cc:DD:ee:FF", true},
        {"123:0:0:0:0:fff", true},
        {"0x1:0X2:3:4:5:6", true},
        {"0x:1:2:3:4:5", true},
        {" 1: 2:+3:-4:5:6", true},
        {"1:2:3:4:5:6;>zz", true},
        {"", false},
        {"00:11:22:33:44:", false},
        {"00:11:22:33:44:gg", false},
        {"00-11-22-33-44-55", false},
        {"1 :2:3:4:5:6", false},
        {"1:2:3:4:5:-", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mac_address_well_formed(c.text), c.well_formed) << '"' << c.text << '"';
}

// Only exactly "q" quits; the answer reaches ifconfig as typed, and the shell interprets none of it.
TEST(SetMacAddress, Answers) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string p = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    const std::string bad = "Invalid MAC address. Try again please\n" + p;
    const struct {
        const char* keys;
        int result;
        std::string printed;
    } cases[] = {
        {"Q\n00:11\nq\n", 0, p + "Q\n" + bad + "00:11\n" + bad + "q\n"},
        {"1:2:3:4:5:6'$(x)\n", 1,
         p + "1:2:3:4:5:6'$(x)\nifconfig [eth0] [hw] [ether] [1:2:3:4:5:6'$(x)]\n"},
        {"00:11\n", 0, p + "00:11\n" + bad + "\n"},  // the input ends: no more asking
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        Console console(c.keys);
        const int result = set_mac_address();
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
    }
}

}  // namespace
