// The boot settings: every lookup rule of the environment scan, and the read
// of the environment partition.
#include "boot/boot_settings.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/flash.hpp"
#include "sim_test_support.hpp"

namespace {

// Field values a case expects; the record starts from `from`.
struct Expect {
    bool gdb = false;
    bool gdbserver = false;
    std::int32_t gdb_port = 1234;
    bool shell = false;
    bool memchk = false;
    bool rescue = false;
    bool diags = false;
};

struct ScanCase {
    const char* name;
    std::string text;  // as the scan sees it: variables separated by blanks
    Expect expect;
    BootSettings from = BootSettings{};
};

BootSettings all_set() {
    BootSettings s;
    s.gdb = s.gdbserver = s.shell = s.memchk = s.rescue_at_boot = s.diags_at_boot = true;
    s.gdb_port = 4000;
    return s;
}

const ScanCase kCases[] = {
    {"no keys: defaults", "bootdelay=3 baudrate=115200", {}},
    {"empty text", "", {}},
    // gdb and gdbserver
    {"gdb=on", "gdb=on", {.gdb = true}},
    {"gdb=onion: prefix of 2", "gdb=onion", {.gdb = true}},
    {"gdb=ON: case-sensitive", "gdb=ON", {}},
    {"gdb=o: too short", "gdb=o", {}},
    {"gdb= at the very end", "x=1 gdb=", {}},
    {"gdb= with a blank, then on", "gdb= on", {}},
    {"gdbserver=on implies gdb", "gdbserver=on", {.gdb = true, .gdbserver = true}},
    {"gdb=off then gdbserver=on", "gdb=off gdbserver=on", {.gdb = true, .gdbserver = true}},
    {"gdbserver=on then gdb=off: order of lookups, not of text", "gdbserver=on gdb=off",
     {.gdb = true, .gdbserver = true}},
    {"gdb=on, gdbserver=off", "gdb=on gdbserver=off", {.gdb = true}},
    {"kgdb=on: substring match", "kgdb=on", {.gdb = true}},
    {"inside another value, first", "bootcmd=gdb=on;run gdb=off", {.gdb = true}},
    {"first occurrence wins (off first)", "gdb=off gdb=on", {}},
    {"first occurrence wins (on first)", "shell=on shell=off", {.shell = true}},
    // gdbport as %d reads it
    {"gdbport=2345", "gdbport=2345", {.gdb_port = 2345}},
    {"gdbport=abc keeps default", "gdbport=abc", {}},
    {"gdbport empty, next variable follows", "gdbport= shell=on", {.shell = true}},
    {"gdbport leading blanks skipped", "gdbport=   77", {.gdb_port = 77}},
    {"gdbport negative", "gdbport=-5", {.gdb_port = -5}},
    {"gdbport plus sign", "gdbport=+42", {.gdb_port = 42}},
    {"gdbport digits then junk", "gdbport=99x1", {.gdb_port = 99}},
    {"gdbport sign without digits", "gdbport=- 5", {}},
    {"gdbport hex is read as its 0", "gdbport=0x10", {.gdb_port = 0}},
    {"gdbport zero", "gdbport=0", {.gdb_port = 0}},
    {"gdbport first occurrence", "gdbport=1 gdbport=2", {.gdb_port = 1}},
    {"gdbport too large saturates", "gdbport=99999999999", {.gdb_port = INT32_MAX}},
    {"gdbport too small saturates", "gdbport=-99999999999", {.gdb_port = INT32_MIN}},
    {"gdbport not a number keeps an earlier value", "gdbport=x", {.gdb_port = 4000},
     BootSettings{.gdb_port = 4000}},
    // shell and memchk
    {"shell=on", "shell=on", {.shell = true}},
    {"memchk=on", "memchk=on", {.memchk = true}},
    {"memchk=yes", "memchk=yes", {}},
    // diagnostics
    {"diagnostics=rescue", "diagnostics=rescue", {.rescue = true}},
    {"diagnostics=diags", "diagnostics=diags", {.diags = true}},
    {"diagnostics=rescuer: prefix of 6", "diagnostics=rescuer", {.rescue = true}},
    {"diagnostics=diagsX: prefix of 5", "diagnostics=diagsX", {.diags = true}},
    {"diagnostics=diag: too short", "diagnostics=diag", {}},
    {"diagnostics=Rescue: case-sensitive", "diagnostics=Rescue", {}},
    {"diagnostics other value", "diagnostics=none", {}},
    {"diagnostics first occurrence", "diagnostics=diags diagnostics=rescue", {.diags = true}},
    // a key that is found always sets its field; one that is not leaves it
    {"found keys clear fields that were set",
     "gdb=off gdbserver=off shell=off memchk=off diagnostics=off", {.gdb_port = 4000}, all_set()},
    {"missing keys leave fields as they were", "other=1",
     {true, true, 4000, true, true, true, true}, all_set()},
    {"everything at once",
     "bootdelay=3 gdbport=5555 shell=on memchk=on gdb=on diagnostics=rescue",
     {.gdb = true, .gdb_port = 5555, .shell = true, .memchk = true, .rescue = true}},
};

TEST(ScanBootSettings, LookupRules) {
    for (const ScanCase& c : kCases) {
        SCOPED_TRACE(c.name);
        BootSettings s = c.from;
        s.second_attempt = true;
        scan_boot_settings(c.text.c_str(), &s);
        EXPECT_EQ(s.gdb, c.expect.gdb);
        EXPECT_EQ(s.gdbserver, c.expect.gdbserver);
        EXPECT_EQ(s.gdb_port, c.expect.gdb_port);
        EXPECT_EQ(s.shell, c.expect.shell);
        EXPECT_EQ(s.memchk, c.expect.memchk);
        EXPECT_EQ(s.rescue_at_boot, c.expect.rescue);
        EXPECT_EQ(s.diags_at_boot, c.expect.diags);
        EXPECT_TRUE(s.second_attempt);  // never the scan's to change
    }
}

// The environment partition as the boot loader leaves it: a checksum word,
// then the variables separated by NULs, then erased flash.
sim_test::Bytes environment(const std::vector<std::string>& vars, std::size_t size = 0x2000,
                            const char* checksum = "\x12\x34\x56\x78") {
    sim_test::Bytes out(checksum, checksum + 4);
    for (const std::string& v : vars) {
        out.insert(out.end(), v.begin(), v.end());
        out.push_back(0);
    }
    out.push_back(0);
    if (out.size() < size) out.resize(size, 0xFF);
    return out;
}

// A variable whose first byte stands at position `at` of the scanned text
// (which starts at byte 4 of the partition), after filler variables.
std::vector<std::string> placed_at(std::size_t at, const std::string& var) {
    std::vector<std::string> vars;
    std::size_t used = 0;
    while (at - used > 300) {
        vars.push_back("pad=" + std::string(250, 'p'));
        used += 255;
    }
    vars.push_back("fill=" + std::string(at - used - 6, 'f'));
    vars.push_back(var);
    return vars;
}

struct LoadCase {
    const char* name;
    sim_test::Bytes partition;  // empty: no partition file
    std::string faults;
    Expect expect;
};

std::vector<LoadCase> load_cases() {
    return {
        {"variables separated by NULs", environment({"bootdelay=3", "gdb=on", "gdbport=4321",
                                                     "diagnostics=diags"}),
         "", {.gdb = true, .gdb_port = 4321, .diags = true}},
        {"a NUL after an empty gdbport= counts as a blank",
         environment({"gdbport=", "77=x"}), "", {.gdb_port = 77}},
        {"the checksum word is not scanned", environment({"on", "shell=off"}, 0x2000, "gdb="), "",
         {}},
        {"key whose value ends at byte 1280 is seen", environment(placed_at(1272, "shell=on")), "",
         {.shell = true}},
        {"value cut by the 1280-byte limit", environment(placed_at(1273, "shell=on")), "", {}},
        {"key beyond the first 1280 bytes", environment(placed_at(1290, "memchk=on")), "", {}},
        {"text without NULs is terminated at 1280",
         [] {
             const std::string text = std::string(4 + 1280, 'x') + "gdb=on";
             sim_test::Bytes b(0x2000, 0xFF);
             for (std::size_t i = 0; i < text.size(); ++i) b[i] = static_cast<std::uint8_t>(text[i]);
             return b;
         }(),
         "", {}},
        {"erased partition", sim_test::Bytes(0x2000, 0xFF), "", {}},
        {"failed read keeps the defaults", environment({"gdb=on", "gdbport=1", "shell=on"}),
         "flash:ubootenv:read:1", {}},
        {"failed geometry query keeps the defaults", environment({"gdb=on", "gdbport=1"}),
         "flash:ubootenv:info:1", {}},
        {"partition shorter than the scan keeps the defaults",
         environment({"gdb=on", "memchk=on"}, 1000), "", {}},
        {"no partition keeps the defaults", {}, "", {}},
    };
}

TEST(LoadBootSettings, ReadsTheEnvironmentPartition) {
    for (const LoadCase& c : load_cases()) {
        SCOPED_TRACE(c.name);
        sim_test::Board board;
        board.config.faults = c.faults;
        if (!c.partition.empty()) board.set_partition("ubootenv", c.partition);
        ASSERT_TRUE(board.apply());
        open_flash_partitions();
        boot_settings = BootSettings{};
        {
            sim_test::StdoutCapture quiet;  // the flash layer reports its own failures
            load_boot_settings();
        }
        EXPECT_EQ(boot_settings.gdb, c.expect.gdb);
        EXPECT_EQ(boot_settings.gdbserver, c.expect.gdbserver);
        EXPECT_EQ(boot_settings.gdb_port, c.expect.gdb_port);
        EXPECT_EQ(boot_settings.shell, c.expect.shell);
        EXPECT_EQ(boot_settings.memchk, c.expect.memchk);
        EXPECT_EQ(boot_settings.rescue_at_boot, c.expect.rescue);
        EXPECT_EQ(boot_settings.diags_at_boot, c.expect.diags);
        EXPECT_FALSE(boot_settings.second_attempt);
    }
}

}  // namespace
