// The boot settings: every lookup rule of the scan, through the read of the environment partition.
#include "boot/boot_settings.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"

namespace {

using namespace std::string_literals;

std::string summary(const BootSettings& s) {
    std::string out;
    for (auto [on, name] : {std::pair{s.gdb, "gdb "}, {s.gdbserver, "gdbserver "}, {s.shell, "shell "},
                            {s.memchk, "memchk "}, {s.rescue_at_boot, "rescue "}, {s.diags_at_boot, "diags "}})
        if (on) out += name;
    return out + "port=" + std::to_string(s.gdb_port);
}

TEST(LoadBootSettings, EveryLookupRule) {
    // The text after the checksum word, which reads "gdb=" and must not be scanned.
    const struct { std::string text; const char* expect; const char* faults = ""; } cases[] = {
        {"gdb=onion\0gdbport=\0"s "77"s, "gdb port=77"},  // two characters decide; a NUL reads as a blank
        {"gdb=ON gdbport=99x1 diagnostics=Rescue", "port=99"},  // case matters
        {"gdb=o gdbport=0x10 diagnostics=diag", "port=0"},  // too short
        {"kgdb=on gdbport=-5", "gdb port=-5"},  // a substring match
        {"gdb=off gdb=on gdbport=1 gdbport=2", "port=1"},  // the first occurrence wins
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
    char dir[] = "/tmp/test_boot_settings.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = dir + "/ubootenv.bin"s;
    sim_board::Config config;
    config.flash_dir = dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        std::ofstream(file, std::ios::binary) << "gdb=" + c.text + std::string(0x2000 - c.text.size(), '\xFF');
        config.faults = c.faults;
        ASSERT_TRUE(sim_board::configure(config));
        open_flash_partitions();
        boot_settings = BootSettings{};
        load_boot_settings();
        EXPECT_EQ(summary(boot_settings), c.expect);
    }
    sim_board::reset();
    unlink(file.c_str());
    rmdir(dir);
}

}  // namespace
