// The image format: the CRC-32 against its bit-by-bit definition, the header layouts and the extent check.
#include "image/image_header.hpp"

#include <array>
#include <cstring>
#include <random>

#include "image/crc32_bitwise.hpp"
#include "test_support.hpp"

namespace {

TEST(ImageCrc32, CheckValuesAndMismatch) {
    const struct { const char* text; std::uint32_t initial, expected; } cases[] = {
        {"abc", 0xFFFFFFFFu, 0xCADBBE3Du},
        {"123456789", 0xFFFFFFFFu, ~0xCBF43926u},  // the common CRC-32, not inverted at the end
        {"", 0x12345678u, 0x12345678u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto* b = reinterpret_cast<const std::uint8_t*>(c.text);
        const std::size_t n = std::strlen(c.text);
        EXPECT_EQ(image_crc32(b, n, c.initial), c.expected);
        EXPECT_EQ(crc32_bitwise(b, n, c.initial), c.expected);  // the definition agrees
        EXPECT_EQ(image_crc_mismatch(b, n, c.expected), c.initial != IMAGE_CRC_INIT);
    }
}

// Lengths 0-64 at every alignment (block, tail, joins), then long ones; any initial value; chained in two.
TEST(ImageCrc32, EqualsTheDefinitionAndChains) {
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
    store_be32(&b[4], len);
    store_be32(&b[8], magic);
    store_be32(&b[16], std::uint32_t(tail >> 32));
    store_be32(&b[20], std::uint32_t(tail));
    return b;
}
constexpr std::uint64_t HDR3 = std::uint64_t{IMAGE_HDR3_WORD} << 32;  // "HDR3" at 16-19
constexpr std::uint64_t at18(std::uint64_t h) { return h << 32; }    // H of layout 2

// Layout 3 when bytes 16-19 read "HDR3" (H at 22-23, T = len + 16), else layout 2 when bit 31 of the magic is
// set (H at 18-19, T = H + len), else layout 1 (T = 16 + len). Lengths are invalid when H is under 16, H passes
// T or T does not fit in 32 bits; else the sub-image fits in what remains or is cut short.
TEST(CheckSubimageExtent, LayoutsAndLengths) {
    using enum ExtentStatus;
    constexpr std::uint32_t L1 = 0x034F5249, L2 = 0x834F5249, MAX = 0xFFFFFFFF;
    constexpr std::uint64_t big = std::uint64_t{1} << 40;
    const struct { std::uint32_t len, magic; std::uint64_t tail, remaining; ExtentStatus status; int layout;
                   std::uint32_t h; std::uint64_t total = 0; } cases[] = {
        {0x01020304, L1, 0x12345678'0000FFFF, big, ok, 1, 16, 0x01020314},  // bytes 16-23 unread
        {0, L1, 0, 16, ok, 1, 16, 16},
        {9, L1, 0, 24, truncated, 1, 16, 25},
        {MAX - 16, L1, 0, MAX, ok, 1, 16, MAX},
        {MAX - 16, L1, 0, MAX - 1, truncated, 1, 16, MAX},
        {MAX - 15, L1, 0, big, invalid, 1, 16},  // 16 + len wraps
        {50, L1, 0x00484452'33000000, big, ok, 1, 16, 66},  // "HDR3" a byte late
        {50, L1, 0x48445232'00000000, big, ok, 1, 16, 66},  // "HDR2"
        {50, L2, 0x68647233'00000000, big, ok, 2, 0x7233, 0x7265},  // "hdr3"
        {5, L2, 0xAABB0028'01000099, big, ok, 2, 40, 45},
        {0, L2, at18(0), big, invalid, 2, 0},
        {100, L2, at18(15), big, invalid, 2, 15},
        {100, L2, at18(16), 116, ok, 2, 16, 116},
        {100, L2, at18(24), 123, truncated, 2, 24, 124},
        {0, L2, at18(0xFFFF), 0xFFFF, ok, 2, 0xFFFF, 0xFFFF},
        {MAX - 0x1F, L2, at18(0x20), big, invalid, 2, 0x20},  // H + len wraps
        {MAX - 0x20, L2, at18(0x20), big, ok, 2, 0x20, MAX},
        {0x100, L1, HDR3 | 0x20, 0x110, ok, 3, 0x20, 0x110},
        {0x100, L2, HDR3 | 0x20, 0x10F, truncated, 3, 0x20, 0x110},  // with the flag too
        {64, L1, HDR3 | 0x78790030, big, ok, 3, 0x30, 80},  // bytes 20-21 ignored
        {100, L1, HDR3 | 15, big, invalid, 3, 15},
        {8, L1, HDR3 | 25, big, invalid, 3, 25},  // H over len + 16
        {8, L1, HDR3 | 24, 24, ok, 3, 24, 24},
        {8, L1, HDR3 | 0x30, 10, invalid, 3, 0x30},  // invalid, not cut short
        {MAX - 15, L1, HDR3 | 24, big, invalid, 3, 24},  // len + 16 wraps
        {MAX - 16, L1, HDR3 | 24, big, ok, 3, 24, MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        const SubImageExtent e = check_subimage_extent(probe(c.len, c.magic, c.tail).data(), c.remaining);
        EXPECT_EQ(e.status, c.status);
        EXPECT_EQ(e.layout, c.layout);
        EXPECT_EQ(e.header_length, c.h);
        EXPECT_EQ(e.magic, c.magic);
        EXPECT_EQ(e.type, c.magic & ~IMAGE_EXTENDED_FLAG);
        if (c.status == invalid) continue;  // the lengths of an invalid header mean nothing
        EXPECT_EQ(e.total_length, c.total);
        EXPECT_EQ(e.header_length + std::uint64_t{e.payload_length}, c.total);
    }
}

}  // namespace
