// Installed image headers: lookup by type, same-version test, version report.
#pragma once
#include <cstdint>

// The 16-byte header installed for `type`: from its flash partition, or for
// an application from the slot file of `slot`. 1 when the type is known and
// (for an application) the slot file opened; `out` is zero-filled otherwise.
int read_installed_header(std::uint32_t type, std::uint8_t* out, int slot);
// 1 when the installed header of the header's type equals it.
int same_as_installed(const std::uint8_t* header, int slot);
// Prints the version of every installed image.
int show_installed_versions();
