// The boot settings: every lookup rule of the environment scan, and the read
// of the environment partition.
#include "boot/boot_settings.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>

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

}  // namespace
