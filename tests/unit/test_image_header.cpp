// Tests of the image format: the CRC-32 against its bit-by-bit definition, header layouts, extent check.
#include "image/image_header.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <tuple>

#include "image/byte_order.hpp"
#include "image/crc32_bitwise.hpp"

namespace {

TEST(ImageCrc32, CheckValuesAndMismatch) {
    const struct { const char* text; std::uint32_t initial, expected; } cases[] = {
        {"abc", 0xFFFFFFFFu, 0xCADBBE3Du}, {"123456789", 0xFFFFFFFFu, ~0xCBF43926u},  // ~ the common CRC-32
        {"", 0xFFFFFFFFu, 0xFFFFFFFFu}, {"", 0x12345678u, 0x12345678u},                 // zero bytes
    };
    for (const auto& c : cases) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(c.text);
        EXPECT_EQ(image_crc32(b, std::strlen(c.text), c.initial), c.expected) << c.text;
        EXPECT_EQ(crc32_bitwise(b, std::strlen(c.text), c.initial), c.expected) << c.text;  // the oracle too
        EXPECT_EQ(image_crc_mismatch(b, std::strlen(c.text), c.expected), c.initial != IMAGE_CRC_INIT) << c.text;
    }
}

// Lengths 0-64 at every alignment (block, tail, joins), then long ones; any initial value; chained in two.
TEST(ImageCrc32, EqualsBitwiseOracleAndChains) {
    std::mt19937 rng(1);
    std::uint8_t buf[20000];
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < 1200; ++i) {
        const std::size_t len = i < 1040 ? i / 16 : rng() % (sizeof buf - 16), cut = rng() % (len + 1);
        const std::uint8_t* b = buf + i % 16;
        const std::uint32_t init = i % 3 ? std::uint32_t(rng()) : IMAGE_CRC_INIT, want = crc32_bitwise(b, len, init);
        ASSERT_EQ(image_crc32(b, len, init), want) << "align " << i % 16 << " len " << len << " init " << init;
        ASSERT_EQ(image_crc32(b + cut, len - cut, image_crc32(b, cut, init)), want) << "len " << len << " cut " << cut;
    }
}

// The first 24 bytes of a sub-image: len, magic, and bytes 16-23 as one word.
std::array<std::uint8_t, 24> probe(std::uint32_t len, std::uint32_t magic, std::uint64_t tail) {
    std::array<std::uint8_t, 24> b{};
    for (auto [at, v] : {std::pair{4, len}, {8, magic}, {16, std::uint32_t(tail >> 32)}, {20, std::uint32_t(tail)}})
        store_be32(b.data() + at, v);
    return b;
}
constexpr std::uint64_t HDR3 = std::uint64_t{IMAGE_HDR3_WORD} << 32;  // "HDR3" at 16-19
constexpr std::uint64_t at18(std::uint64_t h) { return h << 32; }    // H of layout 2

TEST(ParseImageHeader, LayoutRules) {
    const struct { std::uint32_t len, magic; std::uint64_t tail; std::uint8_t layout; std::uint32_t h, p; } cases[] = {
        {0x01020304, 0x044F5249, 0, 1, 16, 0x01020304}, {7, 0x014F5249, 0x12345678'0000FFFF, 1, 16, 7},  // 16-23 unread
        {5, 0x824F5249, 0xAABB0028'01000099, 2, 40, 5}, {9, 0x834F5249, at18(3), 2, 3, 9},  // H at 18-19, any H, as is
        {0, 0xFFFFFFFF, at18(0xFFFF), 2, 0xFFFF, 0}, {0x100, 0x814F5249, HDR3 | 0x20, 3, 0x20, 0xF0},  // flag or not
        {0x100, 0x014F5249, HDR3 | 0x20, 3, 0x20, 0xF0}, {8, 0x014F5249, HDR3 | 0x30, 3, 0x30, 0xFFFFFFE8},  // P wraps
        {64, 0x014F5249, HDR3 | 0x78790030, 3, 0x30, 0x20},                          // H at 22-23, 20-21 ignored
        {50, 0x014F5249, 0x00484452'33000000, 1, 16, 50}, {50, 0x014F5249, 0x48445232'00000000, 1, 16, 50},
        {50, 0x814F5249, 0x68647233'00000000, 2, 0x7233, 50},  // not "HDR3": one byte late, "HDR2", "hdr3"
    };
    for (const auto& c : cases) {
        std::uint32_t magic = 0, h = 0, p = 0;
        std::uint8_t layout = 0;
        parse_image_header(probe(c.len, c.magic, c.tail).data(), &magic, &layout, &h, &p);
        EXPECT_EQ(std::tuple(magic, int{layout}, h, p), std::tuple(c.magic, int{c.layout}, c.h, c.p)) << &c - cases;
    }
}

TEST(CheckSubimageExtent, RefusedAndAcceptedExtents) {
    using S = ExtentStatus;
    constexpr std::uint32_t L1 = 0x034F5249, L2 = 0x834F5249, MAX = 0xFFFFFFFF;
    constexpr std::uint64_t big = std::uint64_t{1} << 40;
    const struct { std::uint32_t len, magic; std::uint64_t tail, remaining; S status; std::uint64_t total; } cases[] = {
        {0, L1, 0, 16, S::ok, 16}, {8, L1, 0, 24, S::ok, 24}, {9, L1, 0, 24, S::truncated, 25},
        {MAX - 16, L1, 0, MAX, S::ok, MAX}, {MAX - 16, L1, 0, MAX - 1, S::truncated, MAX},
        {MAX - 15, L1, 0, big, S::invalid, 0}, {MAX, L1, 0, big, S::invalid, 0},                // 16 + len wraps
        {0, L2, at18(0), big, S::invalid, 0}, {4, L2, at18(4), big, S::invalid, 0},             // T below 16
        {100, L2, at18(15), big, S::invalid, 0}, {100, L2, at18(16), 116, S::ok, 116},          // H below 16
        {100, L2, at18(24), 123, S::truncated, 124}, {0, L2, at18(0xFFFF), 0xFFFF, S::ok, 0xFFFF},
        {MAX - 0x1F, L2, at18(0x20), big, S::invalid, 0}, {MAX - 0x20, L2, at18(0x20), big, S::ok, MAX},  // H + len
        {0x100, L1, HDR3 | 0x20, 0x110, S::ok, 0x110}, {0x100, L1, HDR3 | 0x20, 0x10F, S::truncated, 0x110},
        {100, L1, HDR3 | 15, big, S::invalid, 0}, {100, L1, HDR3 | 0, big, S::invalid, 0},        // H below 16
        {8, L1, HDR3 | 25, big, S::invalid, 0}, {8, L1, HDR3 | 24, 24, S::ok, 24},               // H vs len + 16
        {MAX - 15, L1, HDR3 | 24, big, S::invalid, 0}, {MAX - 16, L1, HDR3 | 24, big, S::ok, MAX},  // len + 16
        {8, L1, HDR3 | 0x30, 10, S::invalid, 0},                                    // invalid, not truncated
    };
    for (const auto& c : cases) {
        const SubImageExtent e = check_subimage_extent(probe(c.len, c.magic, c.tail).data(), c.remaining);
        EXPECT_EQ(e.status, c.status) << "row " << &c - cases;
        if (c.status == S::invalid) continue;  // the lengths of an invalid header mean nothing
        EXPECT_EQ(e.total_length, c.total) << "row " << &c - cases;
        EXPECT_EQ(std::uint64_t{e.header_length} + e.payload_length, c.total) << "row " << &c - cases;
    }
}

}  // namespace
