// The boot settings read from the boot loader's environment partition.
#pragma once
#include <cstddef>
#include <cstdint>

struct BootSettings {
    bool gdb = false;
    bool gdbserver = false;
    std::int32_t gdb_port = 1234;
    bool shell = false;
    bool memchk = false;
    bool rescue_at_boot = false;
    bool diags_at_boot = false;
    bool second_attempt = false;
};

extern BootSettings boot_settings;

inline constexpr std::uint32_t BOOT_ENV_OFFSET = 4;
inline constexpr std::uint32_t BOOT_ENV_SCAN_LENGTH = 1280;

// Applies the key lookups to the environment text (NULs already turned into
// blanks, NUL-terminated). Pure: no flash, no globals.
void scan_boot_settings(const char* text, BootSettings* settings);

// Reads the environment partition and fills boot_settings. A failed read
// leaves every setting at its default.
void load_boot_settings();
