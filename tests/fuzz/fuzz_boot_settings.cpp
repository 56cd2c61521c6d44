// Fuzz target: the boot environment scan over an arbitrary 1280-byte
// environment area, directly and through the simulated ubootenv partition.
// The settings found are compared with the key lookups done by definition.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "boot/boot_settings.hpp"
#include "fuzz_support.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"

namespace {

using fuzz::Bytes;

constexpr std::size_t AREA = BOOT_ENV_SCAN_LENGTH;

std::string dir;

void set_up() {
    dir = fuzz::scratch_dir();
    FUZZ_CHECK(::mkdir((dir + "/flash").c_str(), 0755) == 0);
    for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        fuzz::put_file(dir + "/flash/" + name + ".bin", Bytes(4096, 0xFF));
    }
    sim_board::Config c;
    c.flash_dir = dir + "/flash";
    c.erase_size = "4096";
    c.slot_register = dir + "/slot-register.bin";
    c.time_scale = 0;
    FUZZ_CHECK(sim_board::configure(c));
    open_flash_partitions();
    // A failed read prints its cause; not needed here.
    std::fflush(stdout);
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
}

bool equal(const BootSettings& a, const BootSettings& b) {
    return a.gdb == b.gdb && a.gdbserver == b.gdbserver && a.gdb_port == b.gdb_port && a.shell == b.shell &&
           a.memchk == b.memchk && a.rescue_at_boot == b.rescue_at_boot && a.diags_at_boot == b.diags_at_boot &&
           a.second_attempt == b.second_attempt;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// "%d" as the loader reads a port: blanks, a sign, digits; saturated at the
// 32-bit range. False when there is no digit.
bool decimal(std::string_view v, std::int32_t* out) {
    std::size_t i = 0;
    while (i < v.size() && is_space(v[i])) ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) negative = v[i++] == '-';
    if (i >= v.size() || v[i] < '0' || v[i] > '9') return false;
    std::int64_t n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
        n = n * 10 + (v[i] - '0');
        if (n > std::int64_t{INT32_MAX} + 1) n = std::int64_t{INT32_MAX} + 1;
    }
    if (negative) n = -n;
    *out = n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(n);
    return true;
}

// The seven lookups, first occurrence of each key, in their order.
BootSettings expected_scan(std::string_view text, BootSettings s) {
    auto value = [&](std::string_view key, std::string_view* v) {
        const std::size_t at = text.find(key);
        if (at == std::string_view::npos) return false;
        *v = text.substr(at + key.size());
        return true;
    };
    auto starts = [](std::string_view v, std::string_view prefix) { return v.substr(0, prefix.size()) == prefix; };
    std::string_view v;
    if (value("gdb=", &v)) s.gdb = starts(v, "on");
    if (value("gdbserver=", &v)) {
        s.gdbserver = starts(v, "on");
        if (s.gdbserver) s.gdb = true;
    }
    std::int32_t port = 0;
    if (value("gdbport=", &v) && decimal(v, &port)) s.gdb_port = port;
    if (value("shell=", &v)) s.shell = starts(v, "on");
    if (value("memchk=", &v)) s.memchk = starts(v, "on");
    if (value("diagnostics=", &v)) {
        s.rescue_at_boot = starts(v, "rescue");
        s.diags_at_boot = starts(v, "diags");
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (set_up(), true);
    (void)ready;
    if (size < 1) return 0;

    // The first byte: the record the scan starts from, and the partition size.
    const std::uint8_t control = data[0];
    ++data;
    --size;
    Bytes area(AREA, 0);
    std::memcpy(area.data(), data, size < AREA ? size : AREA);

    // The text the loader makes of the area: NULs become blanks.
    char text[AREA + 1];
    for (std::size_t i = 0; i < AREA; ++i) text[i] = area[i] == 0 ? ' ' : static_cast<char>(area[i]);
    text[AREA] = '\0';

    BootSettings start{};
    start.gdb = control & 1;
    start.shell = control & 2;
    start.rescue_at_boot = control & 4;
    start.second_attempt = control & 8;
    if (control & 16) start.gdb_port = -7;
    BootSettings scanned = start;
    scan_boot_settings(text, &scanned);
    const BootSettings want = expected_scan(std::string_view(text, AREA), start);
    FUZZ_CHECK(equal(scanned, want));
    // The scan reads text, never writes it.
    for (std::size_t i = 0; i < AREA; ++i) FUZZ_CHECK(text[i] == (area[i] == 0 ? ' ' : static_cast<char>(area[i])));

    // The same area on the partition, after the 4-byte checksum word. A
    // partition too small to hold it gives a failed read: defaults stay.
    static const std::uint32_t sizes[] = {4096, 4 + AREA, 4 + AREA - 1, 16};
    const std::uint32_t partition_size = sizes[(control >> 5) & 3];
    Bytes partition(partition_size, 0xFF);
    for (std::size_t i = 0; i < AREA && 4 + i < partition_size; ++i) partition[4 + i] = area[i];
    fuzz::put_file(dir + "/flash/ubootenv.bin", partition);

    boot_settings = BootSettings{};
    load_boot_settings();
    const BootSettings loaded = boot_settings;
    const BootSettings want_loaded =
        partition_size >= 4 + AREA ? expected_scan(std::string_view(text, AREA), BootSettings{}) : BootSettings{};
    FUZZ_CHECK(equal(loaded, want_loaded));
    FUZZ_CHECK(!loaded.second_attempt);
    return 0;
}
