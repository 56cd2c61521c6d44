// Installed image headers: lookup by type, same-version test, version report.
#pragma once
#include <cstdint>

int read_installed_header(std::uint32_t type, std::uint8_t* out, int slot);
int same_as_installed(const std::uint8_t* header, int slot);
int show_installed_versions();
