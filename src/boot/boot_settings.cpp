// The boot settings: the lookups over the boot loader's environment text and
// the read of that text from the environment partition.
#include "boot/boot_settings.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/flash.hpp"

BootSettings boot_settings;

namespace {

// The text after the first occurrence of key, or nullptr.
const char* value_of(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at ? at + std::strlen(key) : nullptr;
}

bool starts_with(const char* value, const char* prefix) {
    return std::strncmp(value, prefix, std::strlen(prefix)) == 0;
}

// A signed decimal number as "%d" reads it: leading white space, an optional
// sign, digits up to the first non-digit. Out-of-range values saturate, so the
// result is the same on every host. False when no digit was read.
bool parse_decimal(const char* value, std::int32_t* out) {
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (end == value) return false;
    if (n > INT32_MAX) {
        *out = INT32_MAX;
    } else if (n < INT32_MIN) {
        *out = INT32_MIN;
    } else {
        *out = static_cast<std::int32_t>(n);
    }
    return true;
}

}  // namespace

void scan_boot_settings(const char* text, BootSettings* settings) {
    const char* v = nullptr;
    if ((v = value_of(text, "gdb=")) != nullptr) settings->gdb = starts_with(v, "on");
    if ((v = value_of(text, "gdbserver=")) != nullptr) {
        settings->gdbserver = starts_with(v, "on");
        if (settings->gdbserver) settings->gdb = true;
    }
    if ((v = value_of(text, "gdbport=")) != nullptr) {
        std::int32_t port = 0;
        if (parse_decimal(v, &port)) settings->gdb_port = port;
    }
    if ((v = value_of(text, "shell=")) != nullptr) settings->shell = starts_with(v, "on");
    if ((v = value_of(text, "memchk=")) != nullptr) settings->memchk = starts_with(v, "on");
    if ((v = value_of(text, "diagnostics=")) != nullptr) {
        settings->rescue_at_boot = starts_with(v, "rescue");
        settings->diags_at_boot = starts_with(v, "diags");
    }
}

void load_boot_settings() {
    char text[BOOT_ENV_SCAN_LENGTH + 1];
    // A failed read says nothing about the environment: keep the defaults
    // rather than act on whatever the buffer holds.
    if (flash_read(text, flash_handle(FlashPartition::ubootenv), BOOT_ENV_OFFSET,
                   BOOT_ENV_SCAN_LENGTH) != 0) {
        return;
    }
    // Variables are NUL-separated; blanks make the area one searchable text.
    for (std::size_t i = 0; i < BOOT_ENV_SCAN_LENGTH; ++i) {
        if (text[i] == '\0') text[i] = ' ';
    }
    text[BOOT_ENV_SCAN_LENGTH] = '\0';
    scan_boot_settings(text, &boot_settings);
}
