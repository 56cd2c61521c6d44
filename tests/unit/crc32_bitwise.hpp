// The image CRC-32 computed bit by bit, exactly as the checksum is defined:
// the reference the table-driven image_crc32 is tested and measured against.
#pragma once
#include <cstddef>
#include <cstdint>

// Least significant bit of each byte first; polynomial 0xEDB88320; no final
// inversion. Deliberately naive: it is the definition, not an implementation.
inline std::uint32_t crc32_bitwise(const std::uint8_t* bytes, std::size_t length,
                                   std::uint32_t initial) {
    std::uint32_t c = initial;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t b = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            if ((c & 1u) != (b & 1u)) {
                c = (c >> 1) ^ 0xEDB88320u;
            } else {
                c = c >> 1;
            }
            b >>= 1;
        }
    }
    return c;
}
