// Numbers typed in configuration texts and on command lines.
#pragma once
#include <cstdint>
#include <string_view>

// An unsigned number in decimal or, with a 0x prefix, hexadecimal; the whole
// text must be the number and it must not exceed `max`. `out` is written only
// on success.
bool parse_number(std::string_view text, std::uint64_t max, std::uint64_t* out);
