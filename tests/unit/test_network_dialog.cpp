// Tests of the network settings dialogue: the plausibility rule at its edges
// and the address question answered through the console.
#include "net/network_dialog.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "net_test_support.hpp"

namespace {

TEST(IpAddressPlausible, FirstOctetFrom1To239) {
    const struct { const char* address; int plausible; } cases[] = {
        {"0.0.0.0", 0},   {"0.255.255.255", 0},   {"1.0.0.0", 1},   {"127.0.0.1", 1},
        {"224.0.0.1", 1}, {"239.255.255.255", 1}, {"240.0.0.0", 0}, {"255.255.255.255", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ip_address_plausible(in_addr{inet_addr(c.address)}), c.plausible) << c.address;
}

// Each row: the keys typed at "A:", whether an answer is required and checked
// for plausibility, the slot before and after, the result, all that was printed.
TEST(PromptIpAddress, Answers) {
    const std::string bad = "Invalid IP address. Try again please\nA:";
    const struct { const char* keys; bool required, validate; const char *before, *after;
                   int result; std::string printed; } cases[] = {
        {"10.1\n", true, true, "0.0.0.0", "10.0.0.1", 1, "A:10.1\n"},  // inet_aton form
        {"0.1.2.3\n1.1.1.1\n", true, true, "0.0.0.0", "1.1.1.1", 1,
         "A:0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\nA:1.1.1.1\n"},
        {"1.2.3.256\n\n2.2.2.2\n", true, true, "0.0.0.0", "2.2.2.2", 1,
         "A:1.2.3.256\n" + bad + "\n" + bad + "2.2.2.2\n"},
        {"\n", false, true, "9.9.9.9", "9.9.9.9", 1, "A:\n"},  // optional: the slot keeps its value
        {"0.0.0.0\n", false, false, "1.1.1.1", "0.0.0.0", 1, "A:0.0.0.0\n"},  // not checked
        {"q\n", true, true, "4.4.4.4", "4.4.4.4", 0, "A:q\n"},
        {"Quit\n", false, true, "4.4.4.4", "4.4.4.4", 0, "A:Quit\n"},
        // A refused address never stays in the slot: an empty answer after it
        // leaves what the slot held before (no gateway when it held none).
        {"240.0.0.1\n\n", false, true, "0.0.0.0", "0.0.0.0", 1,
         "A:240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\nA:\n"},
        // The console's input ends: the question gives up instead of asking again.
        {"x\n", true, true, "7.7.7.7", "7.7.7.7", 0, "A:x\n" + bad + "\n"},
        {"1.2.3.4", true, true, "7.7.7.7", "7.7.7.7", 0, "A:1.2.3.4\n"},
    };
    for (const auto& c : cases) {
        in_addr slot{inet_addr(c.before)};
        int result = -1;
        const auto ask = [&] { result = prompt_ip_address("A:", &slot, c.required, c.validate); };
        EXPECT_EQ(net_test::converse(c.keys, ask), c.printed) << c.keys;
        EXPECT_EQ(result, c.result) << c.keys;
        EXPECT_EQ(slot.s_addr, inet_addr(c.after)) << c.keys;
    }
}

}  // namespace
