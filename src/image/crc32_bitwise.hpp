// The image CRC-32 computed bit by bit, exactly as the checksum is defined:
// the reference the table-driven image_crc32 is tested and measured against.
#pragma once
#include <cstddef>
#include <cstdint>

// Least significant bit of each byte first; polynomial 0xEDB88320; no final
// inversion. Deliberately naive: it is the definition, not an implementation.
inline std::uint32_t crc32_bitwise(const std::uint8_t* bytes, std::size_t length, std::uint32_t c) {
    for (std::size_t i = 0; i < length; ++i)
        for (int bit = 0; bit < 8; ++bit)
            c = ((c ^ (bytes[i] >> bit)) & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    return c;
}
