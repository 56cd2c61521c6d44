// The network settings dialogue: the plausibility rule at its edges, one address question, the whole dialogue.
#include "net/network_dialog.hpp"

#include <arpa/inet.h>

#include "test_support.hpp"

namespace {

TEST(IpAddressPlausible, FirstOctetFrom1To239) {
    const struct { const char* address; int plausible; } cases[] = {
        {"0.255.255.255", 0}, {"1.0.0.0", 1}, {"127.0.0.1", 1}, {"239.255.255.255", 1}, {"240.0.0.0", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ip_address_plausible(in_addr{inet_addr(c.address)}), c.plausible) << c.address;
}

// The keys typed at "A:", whether an answer is required and checked for plausibility, the slot before and
// after, the result, all that was printed.
TEST(PromptIpAddress, Answers) {
    const std::string bad = "Invalid IP address. Try again please\nA:";
    const struct { const char* keys; bool required, validate; const char *before, *after; int result;
                   std::string printed; } cases[] = {
        {"10.1\n", true, true, "0.0.0.0", "10.0.0.1", 1, "A:10.1\n"},  // the inet_aton form
        {"0.1.2.3\n1.1.1.1\n", true, true, "0.0.0.0", "1.1.1.1", 1,
         "A:0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\nA:1.1.1.1\n"},
        {"1.2.3.256\n\n2.2.2.2\n", true, true, "0.0.0.0", "2.2.2.2", 1, "A:1.2.3.256\n" + bad + "\n" + bad + "2.2.2.2\n"},
        {"\n", false, true, "9.9.9.9", "9.9.9.9", 1, "A:\n"},  // optional: the slot keeps its value
        {"0.0.0.0\n", false, false, "1.1.1.1", "0.0.0.0", 1, "A:0.0.0.0\n"},  // not checked
        {"q\n", true, true, "4.4.4.4", "4.4.4.4", 0, "A:q\n"},
        {"Quit\n", false, true, "4.4.4.4", "4.4.4.4", 0, "A:Quit\n"},
        // A refused address never stays in the slot: an empty answer after it leaves what the slot held.
        {"240.0.0.1\n\n", false, true, "0.0.0.0", "0.0.0.0", 1, "A:240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\nA:\n"},
        // The console's input ends: the question gives up instead of asking again.
        {"x\n", true, true, "7.7.7.7", "7.7.7.7", 0, "A:x\n" + bad + "\n"},
        {"1.2.3.4", true, true, "7.7.7.7", "7.7.7.7", 0, "A:1.2.3.4\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        in_addr slot{inet_addr(c.before)};
        unit::Console console(c.keys);
        const int result = prompt_ip_address("A:", &slot, c.required, c.validate);
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(slot.s_addr, inet_addr(c.after));
    }
}

// DHCP allowed: asked only when /bin/dhclient exists, and any answer but one beginning with y or Y means the
// static questions. A quit at the gateway keeps the address and netmask already given.
TEST(PromptNetworkSettings, Answers) {
    if (!unit::enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string dhcp = "Confirm: Use DHCP for network configuration? y/N: ";
    const struct { bool dhclient; const char* keys; int result; bool use_dhcp; const char *ip, *netmask;
                   std::string printed; } cases[] = {
        {true, "yes\n", 1, true, "0.0.0.0", "0.0.0.0", dhcp + "yes\n\n"},
        {true, "Y\n", 1, true, "0.0.0.0", "0.0.0.0", dhcp + "Y\n\n"},
        {true, "q\n1.2.3.4\n\n\n", 1, false, "1.2.3.4", "0.0.0.0",
         dhcp + "q\n\nIP addr    :1.2.3.4\nNetmask    :\nGateway    :\n"},
        {false, "1.2.3.4\n255.0.0.0\nQ\n", 0, false, "1.2.3.4", "255.0.0.0",
         "IP addr    :1.2.3.4\nNetmask    :255.0.0.0\nGateway    :Q\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        if (c.dhclient) unit::stand_in("dhclient");
        else std::filesystem::remove("/usr/bin/dhclient");
        bool use_dhcp = !c.use_dhcp;
        in_addr ip{}, netmask{}, gateway{};
        unit::Console console(c.keys);
        const int result = prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, true);
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(use_dhcp, c.use_dhcp);
        EXPECT_EQ(ip.s_addr, inet_addr(c.ip));
        EXPECT_EQ(netmask.s_addr, inet_addr(c.netmask));
        EXPECT_EQ(gateway.s_addr, 0u);
    }
}

}  // namespace
