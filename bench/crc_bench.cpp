// crc-bench: speed of image_crc32 against the bit-by-bit definition and
// against zlib's crc32, on the same 64 MiB of random data in one run.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "crc32_bitwise.hpp"
#include "image/image_header.hpp"

namespace {

constexpr std::size_t kDataSize = std::size_t{64} << 20;

using Clock = std::chrono::steady_clock;

struct Measure {
    double mb_per_s;
    std::uint32_t crc;
};

// Best of `rounds` runs of fn over the data, in MB/s (10^6 bytes per second).
template <typename Fn>
Measure measure(const std::vector<std::uint8_t>& data, int rounds, Fn fn) {
    double best = 1e30;
    std::uint32_t crc = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        crc = fn(data.data(), data.size());
        const std::chrono::duration<double> took = Clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    return Measure{static_cast<double>(data.size()) / best / 1e6, crc};
}

// zlib hands out chunks of at most uInt bytes; chaining continues the
// checksum across them.
std::uint32_t zlib_image_crc(const std::uint8_t* bytes, std::size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        const uInt chunk = length > (1u << 30) ? (1u << 30) : static_cast<uInt>(length);
        crc = crc32(crc, bytes, chunk);
        bytes += chunk;
        length -= chunk;
    }
    // zlib's CRC-32 inverts at both ends; the image checksum does not invert
    // at the end, so the two differ by a final complement.
    return ~static_cast<std::uint32_t>(crc);
}

}  // namespace

int main() {
    std::vector<std::uint8_t> data(kDataSize);
    std::mt19937_64 rng(20240611);
    for (std::size_t i = 0; i < data.size(); i += 8) {
        const std::uint64_t v = rng();
        for (std::size_t k = 0; k < 8; ++k) data[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }

    const Measure table = measure(data, 7, [](const std::uint8_t* p, std::size_t n) {
        return image_crc32(p, n, IMAGE_CRC_INIT);
    });
    const Measure bitwise = measure(data, 1, [](const std::uint8_t* p, std::size_t n) {
        return crc32_bitwise(p, n, IMAGE_CRC_INIT);
    });
    const Measure zlib = measure(data, 7, zlib_image_crc);

    std::printf("data: %zu MiB random, crc 0x%08X\n", kDataSize >> 20, table.crc);
    if (table.crc != bitwise.crc || table.crc != zlib.crc) {
        std::fprintf(stderr, "crc-bench: results differ: table 0x%08X, bitwise 0x%08X, zlib 0x%08X\n",
                     table.crc, bitwise.crc, zlib.crc);
        return 1;
    }
    std::printf("crc32: table %.0f MB/s, bitwise %.0f MB/s, zlib %.0f MB/s, table/bitwise %.1f, table/zlib %.2f\n",
                table.mb_per_s, bitwise.mb_per_s, zlib.mb_per_s, table.mb_per_s / bitwise.mb_per_s,
                table.mb_per_s / zlib.mb_per_s);
    return 0;
}
