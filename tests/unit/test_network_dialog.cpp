// Tests of the network settings dialogue: the plausibility rule, and the
// address questions answered through the console.
#include "net/network_dialog.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "boot/boot_sequence.hpp"
#include "net_test_support.hpp"
#include "platform/outside_programs.hpp"

namespace {

in_addr addr(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return a;
}

std::string text(in_addr a) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

class NetworkDialog : public ::testing::Test {
protected:
    void SetUp() override { break_requested = 0; }
    void TearDown() override { break_requested = 0; }
};

// --- ip_address_plausible ---------------------------------------------------

struct PlausibleCase {
    const char* address;
    int expected;
};

constexpr PlausibleCase PLAUSIBLE_CASES[] = {
    {"0.0.0.0", 0},         {"0.1.2.3", 0},       {"0.255.255.255", 0},
    {"1.0.0.0", 1},         {"1.2.3.4", 1},       {"10.0.0.1", 1},
    {"127.0.0.1", 1},       {"192.0.2.1", 1},     {"223.255.255.255", 1},
    {"224.0.0.1", 1},       {"239.255.255.255", 1},
    {"240.0.0.0", 0},       {"240.0.0.1", 0},     {"254.1.1.1", 0},
    {"255.0.0.0", 0},       {"255.255.255.255", 0},
};

TEST(IpAddressPlausible, FirstOctetFrom1To239) {
    for (const auto& c : PLAUSIBLE_CASES)
        EXPECT_EQ(ip_address_plausible(addr(c.address)), c.expected) << c.address;
}

// --- prompt_ip_address --------------------------------------------------------

struct PromptCase {
    const char* name;
    const char* keys;
    bool required;
    bool validate;
    const char* slot_before;
    int result;
    const char* slot_after;
    const char* transcript;  // prompt "A:" followed by the editor's echo
};

const PromptCase PROMPT_CASES[] = {
    {"plain address", "10.1.2.3\n", true, true, "0.0.0.0", 1, "10.1.2.3", "A:10.1.2.3\n"},
    {"inet_aton shorthand", "10.1\n", true, true, "0.0.0.0", 1, "10.0.0.1", "A:10.1\n"},
    {"single number", "167772161\n", true, true, "0.0.0.0", 1, "10.0.0.1", "A:167772161\n"},
    {"loopback accepted", "127.0.0.1\n", true, true, "0.0.0.0", 1, "127.0.0.1",
     "A:127.0.0.1\n"},
    {"multicast accepted", "224.0.0.1\n", true, true, "0.0.0.0", 1, "224.0.0.1",
     "A:224.0.0.1\n"},
    {"first octet 0 refused", "0.1.2.3\n1.1.1.1\n", true, true, "0.0.0.0", 1, "1.1.1.1",
     "A:0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\nA:1.1.1.1\n"},
    {"240 refused", "240.0.0.1\n2.2.2.2\n", true, true, "0.0.0.0", 1, "2.2.2.2",
     "A:240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\nA:2.2.2.2\n"},
    {"broadcast refused, typed text repeated", "255.255.255.255\n3.3.3.3\n", true, true,
     "0.0.0.0", 1, "3.3.3.3",
     "A:255.255.255.255\nInvalid IP address 255.255.255.255. Try again please\nA:3.3.3.3\n"},
    {"not an address", "abc\n1.2.3.4\n", true, true, "0.0.0.0", 1, "1.2.3.4",
     "A:abc\nInvalid IP address. Try again please\nA:1.2.3.4\n"},
    {"octet too large", "1.2.3.256\n1.2.3.4\n", true, true, "0.0.0.0", 1, "1.2.3.4",
     "A:1.2.3.256\nInvalid IP address. Try again please\nA:1.2.3.4\n"},
    {"empty answer to a required question", "\n5.6.7.8\n", true, true, "0.0.0.0", 1,
     "5.6.7.8", "A:\nInvalid IP address. Try again please\nA:5.6.7.8\n"},
    {"empty answer to an optional question keeps the slot", "\n", false, true, "9.9.9.9", 1,
     "9.9.9.9", "A:\n"},
    {"not validated: netmask", "255.255.255.0\n", false, false, "0.0.0.0", 1, "255.255.255.0",
     "A:255.255.255.0\n"},
    {"not validated: zero", "0.0.0.0\n", false, false, "1.1.1.1", 1, "0.0.0.0", "A:0.0.0.0\n"},
    {"q quits", "q\n", true, true, "4.4.4.4", 0, "4.4.4.4", "A:q\n"},
    {"Q quits", "Q\n", false, true, "4.4.4.4", 0, "4.4.4.4", "A:Q\n"},
    {"any answer beginning with q quits", "quit\n", true, true, "0.0.0.0", 0, "0.0.0.0",
     "A:quit\n"},
    {"q after an unparsable answer", "x\nq\n", true, true, "0.0.0.0", 0, "0.0.0.0",
     "A:x\nInvalid IP address. Try again please\nA:q\n"},
    // A refused address never stays in the slot: giving up on an optional
    // question afterwards leaves what the slot held before.
    {"refused then empty: slot restored to 0", "240.0.0.1\n\n", false, true, "0.0.0.0", 1,
     "0.0.0.0", "A:240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\nA:\n"},
    {"refused then empty: earlier value kept", "0.0.0.9\n\n", false, true, "7.7.7.7", 1,
     "7.7.7.7", "A:0.0.0.9\nInvalid IP address 0.0.0.9. Try again please\nA:\n"},
    {"refused then q: slot restored", "255.1.1.1\nq\n", true, true, "6.6.6.6", 0, "6.6.6.6",
     "A:255.1.1.1\nInvalid IP address 255.1.1.1. Try again please\nA:q\n"},
};

TEST_F(NetworkDialog, PromptIpAddressAnswers) {
    for (const auto& c : PROMPT_CASES) {
        in_addr slot = addr(c.slot_before);
        int result;
        std::string transcript;
        std::string unread;
        {
            net_test::Console console(c.keys);
            result = prompt_ip_address("A:", &slot, c.required, c.validate);
            transcript = console.output();
            unread = console.unread();
        }
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(text(slot), c.slot_after) << c.name;
        EXPECT_EQ(transcript, c.transcript) << c.name;
        EXPECT_EQ(unread, "") << c.name;
    }
}

TEST_F(NetworkDialog, BreakEndsTheQuestionOnceTheLineEnds) {
    break_requested = 1;
    in_addr slot = addr("1.2.3.4");
    net_test::Console console("5.6.7.8\n9.9.9.9\n");
    EXPECT_EQ(prompt_ip_address("A:", &slot, true, true), 0);
    EXPECT_EQ(console.output(), "A:5.6.7.8\n");
    EXPECT_EQ(console.unread(), "9.9.9.9\n");
    EXPECT_EQ(text(slot), "1.2.3.4");
}

// --- prompt_network_settings ----------------------------------------------------

struct SettingsCase {
    const char* name;
    const char* keys;
    int result;
    const char* ip;
    const char* netmask;
    const char* gateway;
    const char* transcript;
};

const SettingsCase SETTINGS_CASES[] = {
    {"all three given", "192.0.2.5\n255.255.255.0\n192.0.2.1\n", 1, "192.0.2.5",
     "255.255.255.0", "192.0.2.1",
     "IP addr    :192.0.2.5\nNetmask    :255.255.255.0\nGateway    :192.0.2.1\n"},
    {"netmask and gateway left out", "10.0.0.2\n\n\n", 1, "10.0.0.2", "0.0.0.0", "0.0.0.0",
     "IP addr    :10.0.0.2\nNetmask    :\nGateway    :\n"},
    {"q at the first question", "q\n", 0, "0.0.0.0", "0.0.0.0", "0.0.0.0", "IP addr    :q\n"},
    {"Q at the gateway keeps what was entered", "10.0.0.2\n255.0.0.0\nQ\n", 0, "10.0.0.2",
     "255.0.0.0", "0.0.0.0", "IP addr    :10.0.0.2\nNetmask    :255.0.0.0\nGateway    :Q\n"},
    {"refused gateway then empty: no gateway", "10.0.0.2\n\n240.1.1.1\n\n", 1, "10.0.0.2",
     "0.0.0.0", "0.0.0.0",
     "IP addr    :10.0.0.2\nNetmask    :\nGateway    :240.1.1.1\n"
     "Invalid IP address 240.1.1.1. Try again please\nGateway    :\n"},
    {"empty IP address asked again", "\n10.0.0.3\n\n\n", 1, "10.0.0.3", "0.0.0.0", "0.0.0.0",
     "IP addr    :\nInvalid IP address. Try again please\nIP addr    :10.0.0.3\n"
     "Netmask    :\nGateway    :\n"},
};

TEST_F(NetworkDialog, StaticSettingsWithoutDhcp) {
    for (const auto& c : SETTINGS_CASES) {
        bool use_dhcp = true;  // must be cleared by the dialogue
        in_addr ip{}, netmask{}, gateway{};
        int result;
        std::string transcript;
        std::string unread;
        {
            net_test::Console console(c.keys);
            result = prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, false);
            transcript = console.output();
            unread = console.unread();
        }
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_FALSE(use_dhcp) << c.name;
        EXPECT_EQ(text(ip), c.ip) << c.name;
        EXPECT_EQ(text(netmask), c.netmask) << c.name;
        EXPECT_EQ(text(gateway), c.gateway) << c.name;
        EXPECT_EQ(transcript, c.transcript) << c.name;
        EXPECT_EQ(unread, "") << c.name;
    }
}

// With DHCP allowed, the question is asked only where the DHCP client exists;
// the machine running the tests decides which of the two ways is taken (the
// simulated switch, which has the client, covers the other in the system
// tests).
TEST_F(NetworkDialog, DhcpQuestionOnlyWhereTheClientExists) {
    const bool client = path_exists("/bin/dhclient");
    struct Case {
        const char* keys;
        bool dhcp;
    };
    const Case yes_cases[] = {{"y\n", true}, {"Yes\n", true}, {"n\n", false}, {"\n", false},
                              {"q\n", false}};
    if (!client) {
        bool use_dhcp = true;
        in_addr ip{}, netmask{}, gateway{};
        net_test::Console console("10.0.0.4\n\n\n");
        EXPECT_EQ(prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, true), 1);
        EXPECT_FALSE(use_dhcp);
        EXPECT_EQ(console.output(), "IP addr    :10.0.0.4\nNetmask    :\nGateway    :\n");
        return;
    }
    for (const auto& c : yes_cases) {
        bool use_dhcp = !c.dhcp;
        in_addr ip = addr("1.1.1.1"), netmask{}, gateway{};
        const std::string keys = std::string(c.keys) + (c.dhcp ? "" : "10.0.0.4\n\n\n");
        net_test::Console console(keys);
        EXPECT_EQ(prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, true), 1) << c.keys;
        EXPECT_EQ(use_dhcp, c.dhcp) << c.keys;
        std::string expected = std::string("Confirm: Use DHCP for network configuration? y/N: ") +
                               c.keys + "\n";
        if (!c.dhcp) expected += "IP addr    :10.0.0.4\nNetmask    :\nGateway    :\n";
        EXPECT_EQ(console.output(), expected) << c.keys;
        EXPECT_EQ(text(ip), c.dhcp ? "1.1.1.1" : "10.0.0.4") << c.keys;
    }
}

}  // namespace
