// Fuzz target: the boot environment scan over an arbitrary environment area,
// its NULs turned into blanks as the loader does.
#include "boot/boot_settings.hpp"
#include "fuzz_support.hpp"

// A switch follows the first occurrence of its key, on when the value starts with the word;
// without the key it keeps its value. gdbserver=on turns gdb on as well.
static const struct { const char* key; const char* word; bool BootSettings::*field; } SWITCHES[] = {
    {"gdbserver=", "on", &BootSettings::gdbserver}, {"shell=", "on", &BootSettings::shell},
    {"memchk=", "on", &BootSettings::memchk}, {"diagnostics=", "rescue", &BootSettings::rescue_at_boot},
    {"diagnostics=", "diags", &BootSettings::diags_at_boot}, {"gdb=", "on", &BootSettings::gdb}};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(BOOT_ENV_SCAN_LENGTH, ' ');
    for (std::size_t i = 1; i < size && i <= text.size(); ++i) text[i - 1] = data[i] ? char(data[i]) : ' ';
    BootSettings from{}, s;  // the first byte picks the settings the scan starts from
    from.gdb = from.shell = from.second_attempt = size > 0 && (data[0] & 1);
    scan_boot_settings(text.c_str(), &(s = from));
    FUZZ_CHECK(s.second_attempt == from.second_attempt &&
               (s.gdb_port == from.gdb_port || text.find("gdbport=") != text.npos));
    for (const auto& w : SWITCHES) {
        const std::size_t at = text.find(w.key);
        const bool want = at == text.npos ? from.*w.field
                                          : text.compare(at + std::strlen(w.key), std::strlen(w.word), w.word) == 0;
        FUZZ_CHECK(s.*w.field == (want || (w.field == &BootSettings::gdb && s.gdbserver)));
    }
    return 0;
}
