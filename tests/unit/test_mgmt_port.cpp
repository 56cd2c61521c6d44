// Tests of the management port's MAC command: the format check, and the
// answers through the console with a recording stand-in for ifconfig (the
// link test and the configuration run on a real port in the system tests).
#include "net/mgmt_port.hpp"

#include <gtest/gtest.h>

#include <string>

#include "net_test_support.hpp"

namespace {

// Six fields as "%x:%x:%x:%x:%x:%x" converts them: blanks, a sign or 0x may
// open a field, no range is checked, and what follows the sixth is ignored.
TEST(MacAddressWellFormed, Table) {
    const struct { const char* text; bool well_formed; } cases[] = {
        {"00:11:22:33:44:55", true},  {"aa:BB:cc:DD:ee:FF", true},  {"0:1:2:3:4:5", true},
        {"123:0:0:0:0:fff", true},    {"0x1:0X2:3:4:5:6", true},    {"0x:1:2:3:4:5", true},
        {" 1: 2:+3:-4:5:6", true},    {"1:2:3:4:5:6;>zz", true},    {"", false},
        {"q", false},                 {"00:11:22:33:44", false},    {"00:11:22:33:44:", false},
        {"00:11:22:33:44:gg", false}, {"00-11-22-33-44-55", false}, {"1 :2:3:4:5:6", false},
        {"00:11::33:44:55", false},   {"1:2:3:4:5:-", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mac_address_well_formed(c.text), c.well_formed) << '"' << c.text << '"';
}

// Only exactly "q" quits; the answer reaches ifconfig as typed (the stand-in
// prints its arguments), and the shell interprets none of it.
TEST(SetMacAddress, Answers) {
    if (!net_test::enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    const std::string p = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    const std::string bad = "Invalid MAC address. Try again please\n" + p;
    const std::string set = "ifconfig [eth0] [hw] [ether] ";
    const struct { const char* keys; int result; std::string printed; } cases[] = {
        {"0:1:2:3:4:5\n", 1, p + "0:1:2:3:4:5\n" + set + "[0:1:2:3:4:5]\n"},
        {"q\n", 0, p + "q\n"},
        {"Q\n00:11\nq\n", 0, p + "Q\n" + bad + "00:11\n" + bad + "q\n"},
        {"1:2:3:4:5:6;>zz\n", 1, p + "1:2:3:4:5:6;>zz\n" + set + "[1:2:3:4:5:6;>zz]\n"},
        {"1:2:3:4:5:6'$(x)\n", 1, p + "1:2:3:4:5:6'$(x)\n" + set + "[1:2:3:4:5:6'$(x)]\n"},
        {"00:11\n", 0, p + "00:11\n" + bad + "\n"},  // the input ends: no more asking
    };
    for (const auto& c : cases) {
        int result = -1;
        EXPECT_EQ(net_test::converse(c.keys, [&] { result = set_mac_address(); }), c.printed);
        EXPECT_EQ(result, c.result) << c.keys;
    }
}

}  // namespace
