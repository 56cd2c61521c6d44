// net/: the network dialogue and the management port (no eth0: the link test fails).
#include <arpa/inet.h>

#include "net/mgmt_port.hpp"
#include "net/network_dialog.hpp"
#include "test_support.hpp"

namespace {

using namespace unit;

// Every slot holds 9.9.9.9 before. DHCP is asked only when dhclient exists. The address and the
// gateway must be plausible (first octet 1 to 239), the netmask not; only the address is required.
TEST(PromptNetworkSettings, Dialogues) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string dhcp = "Confirm: Use DHCP for network configuration? y/N: ";
    const std::string ip = "IP addr    :", mask = "Netmask    :", gw = "Gateway    :";
    const std::string bad = "Invalid IP address. Try again please\n";
    const struct {
        bool dhclient;
        const char* keys;
        int result;
        bool use_dhcp;
        const char *ip, *netmask, *gateway;
        std::string printed;
    } cases[] = {
        {true, "Y\n", 1, true, "9.9.9.9", "9.9.9.9", "9.9.9.9", dhcp + "Y\n\n"},
        // The inet_aton form; an empty optional answer keeps the slot's value.
        {true, "q\n10.1\n0.255.0.0\n\n", 1, false, "10.0.0.1", "0.255.0.0", "9.9.9.9",
         dhcp + "q\n\n" + ip + "10.1\n" + mask + "0.255.0.0\n" + gw + "\n"},
        // A refused address never stays in the slot.
        {false, "0.1.2.3\n1.2.3.256\n\n239.2.2.2\n\n240.0.0.1\n\n", 1, false, "239.2.2.2",
         "9.9.9.9", "9.9.9.9",
         ip + "0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\n" + ip + "1.2.3.256\n" + bad +
             ip + "\n" + bad + ip + "239.2.2.2\n" + mask + "\n" + gw +
             "240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\n" + gw + "\n"},
        // A quit keeps the answers already given.
        {false, "1.2.3.4\n255.0.0.0\nQ\n", 0, false, "1.2.3.4", "255.0.0.0", "9.9.9.9",
         ip + "1.2.3.4\n" + mask + "255.0.0.0\n" + gw + "Q\n"},
        // The console's input ends: the question gives up instead of asking again.
        {false, "x\n", 0, false, "9.9.9.9", "9.9.9.9", "9.9.9.9", ip + "x\n" + bad + ip + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        if (c.dhclient)
            stand_in("dhclient");
        else
            std::filesystem::remove("/usr/bin/dhclient");
        bool use_dhcp = !c.use_dhcp;
        in_addr address{inet_addr("9.9.9.9")}, netmask = address, gateway = address;
        Console console(c.keys);
        const int result = prompt_network_settings(&use_dhcp, &address, &netmask, &gateway, true);
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(use_dhcp, c.use_dhcp);
        EXPECT_EQ(address.s_addr, inet_addr(c.ip));
        EXPECT_EQ(netmask.s_addr, inet_addr(c.netmask));
        EXPECT_EQ(gateway.s_addr, inet_addr(c.gateway));
    }
}

// Three seconds to settle. (The static configuration: TftpRescue.)
TEST(ConfigureMgmtPort, ByDhcp) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    stand_in("dhclient");
    Board board;
    board.apply();
    Console console;
    EXPECT_EQ(configure_mgmt_port(true, '0', {}, {}, {}), 0);
    EXPECT_EQ(console.finish().out, "dhclient [-1] [eth0]\nOpen Interface eth0 error.\n"
                                    "Mgmt link not available. Quitting.\n");
    EXPECT_EQ(board.log(), "wait 3s\n");
}

// As "%x:%x:%x:%x:%x:%x" converts it: blanks, a sign or 0x may open a field, no range is checked.
TEST(MacAddressWellFormed, AsScanfConvertsIt) {
    const struct {
        const char* text;
        bool well_formed;
    } cases[] = {
        {"aa:BB:cc:DD:ee:FF", true},  {"123:0:0:0:0:fff", true},    {"0x1:0X2:3:4:5:6", true},
        {"0x:1:2:3:4:5", true},       {" 1: 2:+3:-4:5:6", true},    {"", false},
        {"00:11:22:33:44:gg", false}, {"00-11-22-33-44-55", false}, {"1 :2:3:4:5:6", false},
        {"1:2:3:4:5:-", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mac_address_well_formed(c.text), c.well_formed) << '"' << c.text << '"';
}

// Only exactly "q" quits; ifconfig gets the answer as typed, the shell interprets none of it.
TEST(SetMacAddress, Answers) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string p = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    const std::string bad = "Invalid MAC address. Try again please\n" + p;
    const struct {
        const char* keys;
        int result;
        std::string printed;
    } cases[] = {
        {"Q\nq\n", 0, p + "Q\n" + bad + "q\n"},
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
