// The boot settings: every lookup rule of the scan, through the read of the environment partition.
#include "boot/boot_settings.hpp"

#include "platform/flash.hpp"
#include "test_support.hpp"

namespace {

using namespace std::string_literals;

// The switches that are on, then the port.
std::string summary(const BootSettings& s) {
    std::string out;
    for (auto [on, name] : {std::pair{s.gdb, "gdb "}, {s.gdbserver, "gdbserver "}, {s.shell, "shell "},
                            {s.memchk, "memchk "}, {s.rescue_at_boot, "rescue "}, {s.diags_at_boot, "diags "}})
        if (on) out += name;
    return out + "port=" + std::to_string(s.gdb_port);
}

TEST(LoadBootSettings, EveryLookupRule) {
    const struct { std::string text; const char* expect; const char* faults = ""; } cases[] = {
        {"gdb=onion\0gdbport=\0"s "77"s, "gdb port=77"},  // two characters decide; a NUL reads as a blank
        {"gdb=ON gdbport=99x1 diagnostics=Rescue", "port=99"},  // case matters
        {"gdb=o gdbport=0x10 diagnostics=diag", "port=0"},  // too short
        {"kgdb=on gdbport=-5", "gdb port=-5"},  // a substring match
        {"gdb=off gdb=on gdbport=1 gdbport=2", "port=1"},  // the first occurrence counts
        {"gdbport=abc gdbport=5", "port=1234"},  // no number: the port stays
        {"gdbport=\0shell=on"s, "shell port=1234"},  // an empty value, then the next variable
        {"gdbserver=on gdb=off", "gdb gdbserver port=1234"},  // gdb is looked up first
        {"gdb=on gdbserver=off", "gdb port=1234"},
        {"gdbport=99999999999", "port=2147483647"},
        {"shell=on shell=off memchk=yes", "shell port=1234"},
        {"memchk=on diagnostics=rescuer", "memchk rescue port=1234"},  // six characters decide
        {"diagnostics=diagsX", "diags port=1234"},  // five characters decide
        {std::string(1272, 'x') + "shell=on", "shell port=1234"},  // the value ends at byte 1280
        {std::string(1273, 'x') + "shell=on", "port=1234"},
        {"gdb=on shell=on", "port=1234", "flash:ubootenv:read:1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        unit::Board board(c.faults);
        // The first word is the checksum, which reads "gdb=" and must not be scanned.
        board.put("ubootenv", "gdb=" + c.text + std::string(0x2000 - c.text.size(), '\xFF'));
        board.apply();
        open_flash_partitions();
        boot_settings = BootSettings{};
        load_boot_settings();
        EXPECT_EQ(summary(boot_settings), c.expect);
    }
}

}  // namespace
