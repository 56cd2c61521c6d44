// Fuzz target: the environment scan over arbitrary text, from settings all on. Only a key in the text turns
// its setting off; a setting stays on only without its key or with the key and its word somewhere in the text
// (gdb also through gdbserver, which turns it on); the port changes only with "gdbport=" in the text.
#include "boot/boot_settings.hpp"
#include "fuzz_support.hpp"

static const struct {
    const char *key, *word;
    bool BootSettings::*field;
} SWITCHES[] = {{"gdb=", "on", &BootSettings::gdb},
                {"gdbserver=", "on", &BootSettings::gdbserver},
                {"shell=", "on", &BootSettings::shell},
                {"memchk=", "on", &BootSettings::memchk},
                {"diagnostics=", "rescue", &BootSettings::rescue_at_boot},
                {"diagnostics=", "diags", &BootSettings::diags_at_boot}};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::text(data, size).c_str();  // up to the first NUL
    BootSettings s{true, true, 7, true, true, true, true, true};
    scan_boot_settings(text.c_str(), &s);
    FUZZ_CHECK(s.second_attempt);
    FUZZ_CHECK(!s.gdbserver || s.gdb || text.find("gdbserver=") == std::string::npos);
    FUZZ_CHECK(s.gdb_port == 7 || text.find("gdbport=") != std::string::npos);
    for (const auto& w : SWITCHES) {
        const bool on = s.*w.field, keyed = text.find(w.key) != std::string::npos;
        FUZZ_CHECK(on || keyed);
        FUZZ_CHECK(!on || !keyed || text.find(std::string(w.key) + w.word) != std::string::npos ||
                   (w.field == &BootSettings::gdb && s.gdbserver));
    }
    return 0;
}
