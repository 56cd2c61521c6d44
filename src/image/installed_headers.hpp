// Installed image headers: lookup by type, same-version test, version report.
#pragma once
#include <cstdint>

int read_installed_header(std::uint32_t type, std::uint8_t* out, int slot);
int same_as_installed(const std::uint8_t* header, int slot);
int show_installed_versions();

// The same three with the directory of the slot files ("image1", "image2")
// given; the ones above use "/user/images". For tests on a host directory.
inline constexpr const char* SLOT_FILE_DIR = "/user/images";
int read_installed_header_in(const char* slot_dir, std::uint32_t type, std::uint8_t* out,
                             int slot);
int same_as_installed_in(const char* slot_dir, const std::uint8_t* header, int slot);
int show_installed_versions_in(const char* slot_dir);
