// Crafted slot images and scratch files for the boot unit tests.
#pragma once
#include <gtest/gtest.h>

#include "boot/rescue_image.hpp"
#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/unique_file.hpp"

namespace boot_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 251);
    return b;
}

// A 24-byte header with exactly these fields (layout 2 sets the extended flag).
inline Bytes header(std::uint32_t magic, std::uint32_t len, int layout, std::uint16_t h) {
    Bytes b(24, 0);
    store_be32(&b[4], len);
    store_be32(&b[8], layout == 2 ? magic | IMAGE_EXTENDED_FLAG : magic);
    if (layout == 2) store_be16(&b[18], h);
    if (layout == 3) { store_be32(&b[16], IMAGE_HDR3_WORD); store_be16(&b[22], h); }
    return b;
}

// A sound sub-image: header of h bytes (16 in layout 1), the payload, the crc.
inline Bytes subimage(std::uint32_t type, int layout, std::uint16_t h, const Bytes& payload) {
    Bytes b = header(type, static_cast<std::uint32_t>((layout == 3 ? h - 16u : 0u) + payload.size()), layout, h);
    b.resize(layout == 1 ? 16 : h);
    b.insert(b.end(), payload.begin(), payload.end());
    store_be32(b.data(), image_crc32(b.data() + 4, b.size() - 4, IMAGE_CRC_INIT));
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline UniqueFile file_with(const Bytes& bytes) {
    UniqueFile f(std::tmpfile());
    if (!bytes.empty()) { EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f.get()), bytes.size()); }
    std::rewind(f.get());
    return f;
}

inline Bytes contents(std::FILE* f) {
    std::fseek(f, 0, SEEK_END);
    Bytes b(static_cast<std::size_t>(std::ftell(f)));
    std::rewind(f);
    if (!b.empty()) { EXPECT_EQ(std::fread(b.data(), 1, b.size(), f), b.size()); }
    return b;
}

}  // namespace boot_test
