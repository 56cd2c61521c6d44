// Tests of the image format: the CRC-32 against its bit-by-bit definition,
// the header layouts, the extent check, and what the crc covers.
#include "image/image_header.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crc32_bitwise.hpp"
#include "image/byte_order.hpp"

namespace {

std::vector<std::uint8_t> random_bytes(std::mt19937& rng, std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

const std::uint8_t* bytes_of(const char* s) { return reinterpret_cast<const std::uint8_t*>(s); }

// ---- checksum ------------------------------------------------------------

struct CheckValue {
    const char* text;
    std::uint32_t initial;
    std::uint32_t expected;
};

TEST(ImageCrc32, CatalogueCheckValues) {
    const CheckValue cases[] = {
        {"abc", 0xFFFFFFFFu, 0xCADBBE3Du},
        {"123456789", 0xFFFFFFFFu, 0x340BC6D9u},
        // The same bytes as the common CRC-32, minus its final inversion.
        {"123456789", 0xFFFFFFFFu, ~0xCBF43926u},
        {"", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"", 0u, 0u},
        {"", 0x12345678u, 0x12345678u},
    };
    for (const auto& c : cases) {
        const std::size_t n = std::strlen(c.text);
        EXPECT_EQ(image_crc32(bytes_of(c.text), n, c.initial), c.expected) << '"' << c.text << '"';
        // The oracle must agree with the catalogue too, or it proves nothing.
        EXPECT_EQ(crc32_bitwise(bytes_of(c.text), n, c.initial), c.expected) << '"' << c.text << '"';
    }
}

TEST(ImageCrc32, ZeroLengthReturnsInitialWhateverThePointer) {
    const std::uint8_t byte = 0xAB;
    for (std::uint32_t init : {0u, 1u, 0xFFFFFFFFu, 0xDEADBEEFu}) {
        EXPECT_EQ(image_crc32(nullptr, 0, init), init);
        EXPECT_EQ(image_crc32(&byte, 0, init), init);
    }
}

// Every length up to a few blocks, at every start alignment, from random
// initial values: covers the block loop, the tail loop and their joins.
TEST(ImageCrc32, EqualsBitwiseOracleForShortLengthsAndAllAlignments) {
    std::mt19937 rng(1);
    const std::vector<std::uint8_t> buf = random_bytes(rng, 128 + 16);
    for (std::size_t align = 0; align < 16; ++align) {
        for (std::size_t len = 0; len <= 128; ++len) {
            const std::uint32_t init = static_cast<std::uint32_t>(rng());
            ASSERT_EQ(image_crc32(buf.data() + align, len, init), crc32_bitwise(buf.data() + align, len, init))
                << "align " << align << " len " << len << " init " << init;
        }
    }
}

TEST(ImageCrc32, EqualsBitwiseOracleForRandomLongInputs) {
    std::mt19937 rng(2);
    const std::vector<std::uint8_t> buf = random_bytes(rng, 70000);
    for (int round = 0; round < 40; ++round) {
        const std::size_t align = rng() % 16;
        const std::size_t len = rng() % (buf.size() - align);
        const std::uint32_t init = round % 4 == 0 ? IMAGE_CRC_INIT : static_cast<std::uint32_t>(rng());
        ASSERT_EQ(image_crc32(buf.data() + align, len, init), crc32_bitwise(buf.data() + align, len, init))
            << "align " << align << " len " << len;
    }
}

// Bytes of one value only: a table built from a wrong polynomial or shifted
// by a slot still passes random data rarely, but not every all-equal block.
TEST(ImageCrc32, EqualsBitwiseOracleForUniformBlocks) {
    for (unsigned v = 0; v < 256; ++v) {
        const std::vector<std::uint8_t> buf(37, static_cast<std::uint8_t>(v));
        ASSERT_EQ(image_crc32(buf.data(), buf.size(), IMAGE_CRC_INIT),
                  crc32_bitwise(buf.data(), buf.size(), IMAGE_CRC_INIT))
            << "byte " << v;
    }
}

TEST(ImageCrc32, ChainingOverPiecesEqualsOneCall) {
    std::mt19937 rng(3);
    const std::vector<std::uint8_t> buf = random_bytes(rng, 200);
    const std::uint32_t whole = image_crc32(buf.data(), buf.size(), IMAGE_CRC_INIT);
    for (std::size_t split = 0; split <= buf.size(); ++split) {
        const std::uint32_t first = image_crc32(buf.data(), split, IMAGE_CRC_INIT);
        ASSERT_EQ(image_crc32(buf.data() + split, buf.size() - split, first), whole) << "split " << split;
    }
    // Many uneven pieces.
    std::uint32_t c = IMAGE_CRC_INIT;
    std::size_t at = 0;
    while (at < buf.size()) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 23, buf.size() - at);
        c = image_crc32(buf.data() + at, n, c);
        at += n;
    }
    EXPECT_EQ(c, whole);
}

TEST(ImageCrcMismatch, OneWhenDifferentZeroWhenEqual) {
    const std::uint8_t* abc = bytes_of("abc");
    EXPECT_EQ(image_crc_mismatch(abc, 3, 0xCADBBE3Du), 0);
    EXPECT_EQ(image_crc_mismatch(abc, 3, 0xCADBBE3Cu), 1);
    EXPECT_EQ(image_crc_mismatch(abc, 3, ~0xCADBBE3Du), 1);
    // Started from all ones, not from the expected value or zero.
    EXPECT_EQ(image_crc_mismatch(abc, 0, 0xFFFFFFFFu), 0);
    EXPECT_EQ(image_crc_mismatch(abc, 0, 0u), 1);
}

// ---- header encoding -------------------------------------------------------

TEST(ImageHeaderCodec, FieldsAreBigEndianAtTheirOffsets) {
    const ImageHeader h{0x01020304u, 0x05060708u, 0x894F5249u, 0x01FF0A00u};
    std::uint8_t b[16];
    encode_image_header(h, b);
    const std::uint8_t expected[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0x89, 0x4F, 0x52, 0x49, 1, 255, 10, 0};
    EXPECT_EQ(std::memcmp(b, expected, 16), 0);
    const ImageHeader back = decode_image_header(expected);
    EXPECT_EQ(back.crc, h.crc);
    EXPECT_EQ(back.len, h.len);
    EXPECT_EQ(back.magic, h.magic);
    EXPECT_EQ(back.id, h.id);
}

TEST(ImageTypeName, KnowsTheSixCodesExactly) {
    const struct {
        std::uint32_t code;
        const char* name;
    } cases[] = {
        {0x014F5249u, "application"}, {0x024F5249u, "bootloader"},  {0x034F5249u, "kernel"},
        {0x044F5249u, "rootfs"},      {0x054F5249u, "devicetree"},  {0x064F5249u, "diagnostics"},
        {0x814F5249u, nullptr},  // flag still set: not a type
        {0x074F5249u, nullptr},       {0x00000000u, nullptr},       {0x004F5249u, nullptr},
    };
    for (const auto& c : cases) {
        const char* got = image_type_name(c.code);
        if (c.name == nullptr) {
            EXPECT_EQ(got, nullptr) << std::hex << c.code;
        } else {
            ASSERT_NE(got, nullptr) << std::hex << c.code;
            EXPECT_STREQ(got, c.name);
        }
    }
    EXPECT_EQ(image_type_of(0x814F5249u), std::uint32_t{IMAGE_TYPE_APPLICATION});
}

// ---- layouts ---------------------------------------------------------------

// The first 24 bytes of a sub-image, set field by field.
struct Probe {
    std::uint8_t b[24] = {};
    Probe& len(std::uint32_t v) { store_be32(b + 4, v); return *this; }
    Probe& magic(std::uint32_t v) { store_be32(b + 8, v); return *this; }
    Probe& word16(std::uint32_t v) { store_be32(b + 16, v); return *this; }
    Probe& half18(std::uint16_t v) { store_be16(b + 18, v); return *this; }
    Probe& half22(std::uint16_t v) { store_be16(b + 22, v); return *this; }
    Probe& byte(std::size_t i, std::uint8_t v) { b[i] = v; return *this; }
    Probe& text(std::size_t i, const char* s) { std::memcpy(b + i, s, std::strlen(s)); return *this; }
};

struct LayoutCase {
    const char* name;
    Probe probe;
    std::uint32_t magic;
    std::uint8_t layout;
    std::uint32_t h;
    std::uint32_t p;
};

TEST(ParseImageHeader, LayoutRulesTable) {
    const LayoutCase cases[] = {
        {"plain layout 1", Probe().len(100).magic(0x034F5249), 0x034F5249, 1, 16, 100},
        {"layout 1 ignores bytes 16-23", Probe().len(7).magic(0x014F5249).word16(0x12345678).half22(0xFFFF),
         0x014F5249, 1, 16, 7},
        {"len is read big-endian", Probe().len(0x01020304).magic(0x044F5249), 0x044F5249, 1, 16, 0x01020304},
        {"layout 2: flag set, H at 18-19", Probe().len(100).magic(0x814F5249).half18(0x20), 0x814F5249, 2, 0x20, 100},
        {"layout 2 ignores 16-17 and 20-23",
         Probe().len(5).magic(0x824F5249).byte(16, 0xAA).byte(17, 0xBB).half18(40).byte(20, 1).half22(0x99), 0x824F5249,
         2, 40, 5},
        {"layout 2 H below 16 is returned as is", Probe().len(9).magic(0x834F5249).half18(3), 0x834F5249, 2, 3, 9},
        {"layout 2 H of 65535", Probe().len(0).magic(0xFFFFFFFF).half18(0xFFFF), 0xFFFFFFFF, 2, 0xFFFF, 0},
        {"layout 3 with the flag clear", Probe().len(0x100).magic(0x014F5249).text(16, "HDR3").half22(0x20),
         0x014F5249, 3, 0x20, 0xF0},
        {"layout 3 with the flag set", Probe().len(0x100).magic(0x814F5249).text(16, "HDR3").half22(0x20), 0x814F5249,
         3, 0x20, 0xF0},
        // Bytes 18-19 hold "R3" = 0x5233; H must come from 22-23.
        {"layout 3 H never from 18-19", Probe().len(0x40).magic(0x854F5249).word16(IMAGE_HDR3_WORD).half22(24),
         0x854F5249, 3, 24, 0x38},
        {"layout-1 payload starting HDR3 reads as layout 3",
         Probe().len(64).magic(0x014F5249).text(16, "HDR3").byte(20, 'x').byte(21, 'y').half22(0x30), 0x014F5249, 3,
         0x30, 0x20},
        {"layout 3 P wraps when H > len + 16", Probe().len(8).magic(0x014F5249).text(16, "HDR3").half22(0x30),
         0x014F5249, 3, 0x30, 0xFFFFFFE8},
        {"HDR3 one byte late is not layout 3", Probe().len(50).magic(0x014F5249).text(17, "HDR3"), 0x014F5249, 1, 16,
         50},
        {"lower-case hdr3 is not layout 3", Probe().len(50).magic(0x814F5249).text(16, "hdr3"),
         0x814F5249, 2, ('r' << 8) | '3', 50},
        {"HDR2 is not layout 3", Probe().len(50).magic(0x014F5249).text(16, "HDR2"), 0x014F5249, 1, 16, 50},
    };
    for (const auto& c : cases) {
        std::uint32_t magic = 0, h = 0, p = 0;
        std::uint8_t layout = 0;
        parse_image_header(c.probe.b, &magic, &layout, &h, &p);
        EXPECT_EQ(magic, c.magic) << c.name;
        EXPECT_EQ(layout, c.layout) << c.name;
        EXPECT_EQ(h, c.h) << c.name;
        EXPECT_EQ(p, c.p) << c.name;
    }
}

// ---- extent check ----------------------------------------------------------

struct ExtentCase {
    const char* name;
    Probe probe;
    std::uint64_t remaining;
    ExtentStatus status;
    std::uint64_t total;  // checked when the status is not invalid
};

constexpr std::uint64_t kHuge = std::uint64_t{1} << 40;

Probe l1(std::uint32_t len) { return Probe().len(len).magic(0x034F5249); }
Probe l2(std::uint32_t len, std::uint16_t h) { return Probe().len(len).magic(0x834F5249).half18(h); }
Probe l3(std::uint32_t len, std::uint16_t h) { return Probe().len(len).magic(0x034F5249).text(16, "HDR3").half22(h); }

TEST(CheckSubimageExtent, RefusedAndAcceptedExtentsTable) {
    using S = ExtentStatus;
    const ExtentCase cases[] = {
        // Layout 1.
        {"L1 empty payload, T 16", l1(0), 16, S::ok, 16},
        {"L1 exactly fitting", l1(8), 24, S::ok, 24},
        {"L1 one byte short", l1(9), 24, S::truncated, 25},
        {"L1 nothing remains", l1(8), 0, S::truncated, 24},
        {"L1 largest T", l1(0xFFFFFFEF), kHuge, S::ok, 0xFFFFFFFF},
        {"L1 largest T, exactly fitting", l1(0xFFFFFFEF), 0xFFFFFFFF, S::ok, 0xFFFFFFFF},
        {"L1 largest T, one short", l1(0xFFFFFFEF), 0xFFFFFFFE, S::truncated, 0xFFFFFFFF},
        {"L1 16 + len wraps 32 bits", l1(0xFFFFFFF0), kHuge, S::invalid, 0},
        {"L1 len all ones wraps", l1(0xFFFFFFFF), kHuge, S::invalid, 0},
        // Layout 2.
        {"L2 H 0, len 0: T 0 would never move", l2(0, 0), kHuge, S::invalid, 0},
        {"L2 T below 16", l2(4, 4), kHuge, S::invalid, 0},
        {"L2 H 15", l2(100, 15), kHuge, S::invalid, 0},
        {"L2 H 16 is enough", l2(100, 16), 116, S::ok, 116},
        {"L2 H 24 exactly fitting", l2(100, 24), 124, S::ok, 124},
        {"L2 truncated by one", l2(100, 24), 123, S::truncated, 124},
        {"L2 H + len wraps 32 bits", l2(0xFFFFFFE0, 0x20), kHuge, S::invalid, 0},
        {"L2 H + len just fits 32 bits", l2(0xFFFFFFDF, 0x20), kHuge, S::ok, 0xFFFFFFFF},
        {"L2 largest H", l2(0, 0xFFFF), 0xFFFF, S::ok, 0xFFFF},
        // Layout 3.
        {"L3 len 0x100, H 0x20", l3(0x100, 0x20), 0x110, S::ok, 0x110},
        {"L3 len 0x100, H 0x20, one short", l3(0x100, 0x20), 0x10F, S::truncated, 0x110},
        {"L3 H 15", l3(100, 15), kHuge, S::invalid, 0},
        {"L3 H 0", l3(100, 0), kHuge, S::invalid, 0},
        {"L3 H above len + 16", l3(8, 25), kHuge, S::invalid, 0},
        {"L3 H equal to len + 16: empty payload", l3(8, 24), 24, S::ok, 24},
        {"L3 len + 16 wraps 32 bits", l3(0xFFFFFFF0, 24), kHuge, S::invalid, 0},
        {"L3 largest T", l3(0xFFFFFFEF, 24), kHuge, S::ok, 0xFFFFFFFF},
        {"L3 largest T, truncated", l3(0xFFFFFFEF, 24), 1000, S::truncated, 0xFFFFFFFF},
        // A header that cannot describe a sub-image is invalid, not merely truncated.
        {"invalid wins over truncated", l3(8, 0x30), 10, S::invalid, 0},
    };
    for (const auto& c : cases) {
        const SubImageExtent e = check_subimage_extent(c.probe.b, c.remaining);
        EXPECT_EQ(e.status, c.status) << c.name;
        if (c.status != S::invalid) {
            EXPECT_EQ(e.total_length, c.total) << c.name;
            EXPECT_EQ(std::uint64_t{e.header_length} + e.payload_length, c.total) << c.name;
        }
        // Whatever the verdict, the fields are the parser's.
        std::uint32_t magic = 0, h = 0, p = 0;
        std::uint8_t layout = 0;
        parse_image_header(c.probe.b, &magic, &layout, &h, &p);
        EXPECT_EQ(e.magic, magic) << c.name;
        EXPECT_EQ(e.type, magic & 0x7FFFFFFFu) << c.name;
        EXPECT_EQ(e.layout, layout) << c.name;
        EXPECT_EQ(e.header_length, h) << c.name;
        EXPECT_EQ(e.payload_length, p) << c.name;
    }
}

// Any 24 bytes at all: an accepted extent always moves a walk forward by at
// least 16, never by more than what remains, and never wraps.
TEST(CheckSubimageExtent, AcceptedExtentsAreAlwaysSaneForRandomHeaders) {
    std::mt19937 rng(4);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::uint8_t b[24];
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        // Bias towards small lengths and the layout-3 word so all branches run.
        if (i % 2) store_be32(b + 4, rng() % 4096);
        if (i % 3 == 0) store_be32(b + 16, IMAGE_HDR3_WORD);
        const std::uint64_t remaining = rng() % 8192;
        const SubImageExtent e = check_subimage_extent(b, remaining);
        if (e.status != ExtentStatus::ok) continue;
        ++accepted;
        ASSERT_GE(e.total_length, 16u);
        ASSERT_LE(e.total_length, remaining);
        ASSERT_GE(e.header_length, 16u);
        ASSERT_LE(e.header_length, e.total_length);
        ASSERT_EQ(std::uint64_t{e.header_length} + e.payload_length, e.total_length);
    }
    EXPECT_GT(accepted, 1000);
}

TEST(ExtentProblemText, NamesEachProblem) {
    EXPECT_STREQ(extent_problem_text(ExtentStatus::invalid), "invalid header lengths");
    EXPECT_STREQ(extent_problem_text(ExtentStatus::truncated), "cut short by the end of the file");
}

// ---- what the crc covers ---------------------------------------------------

// A layout-3 sub-image with an extension and a payload, its crc set by the
// oracle so the test does not trust the code under test to build it.
std::vector<std::uint8_t> sample_subimage(std::uint8_t layout) {
    std::mt19937 rng(5);
    const std::uint32_t h = layout == 1 ? 16 : 40;
    const std::uint32_t p = 90;
    std::vector<std::uint8_t> s = random_bytes(rng, h + p);
    store_be32(s.data() + 4, layout == 3 ? h - 16 + p : p);
    store_be32(s.data() + 8, layout == 2 ? 0x814F5249u : 0x014F5249u);
    if (layout == 1) store_be32(s.data() + 16, 0);  // keep "HDR3" away from bytes 16-19
    if (layout == 2) store_be16(s.data() + 18, static_cast<std::uint16_t>(h));
    if (layout == 3) {
        store_be32(s.data() + 16, IMAGE_HDR3_WORD);
        store_be16(s.data() + 22, static_cast<std::uint16_t>(h));
    }
    store_be32(s.data(), crc32_bitwise(s.data() + 4, s.size() - 4, IMAGE_CRC_INIT));
    return s;
}

TEST(ImageCrcCoverage, EverySingleByteChangeFromByte4IsDetected) {
    for (std::uint8_t layout : {1, 2, 3}) {
        std::vector<std::uint8_t> s = sample_subimage(layout);
        const SubImageExtent e = check_subimage_extent(s.data(), s.size());
        ASSERT_EQ(e.status, ExtentStatus::ok);
        ASSERT_EQ(e.layout, layout);
        ASSERT_EQ(e.total_length, s.size());
        const std::uint32_t stored = load_be32(s.data());
        ASSERT_EQ(image_crc_mismatch(s.data() + 4, s.size() - 4, stored), 0) << "layout " << int{layout};
        for (std::size_t i = 4; i < s.size(); ++i) {
            for (std::uint8_t flip : {0x01, 0x80, 0xFF, 0x5A}) {
                s[i] ^= flip;
                EXPECT_EQ(image_crc_mismatch(s.data() + 4, s.size() - 4, stored), 1)
                    << "layout " << int{layout} << " byte " << i << " flip " << int{flip};
                s[i] ^= flip;
            }
        }
    }
}

TEST(ImageCrcCoverage, BytesZeroToThreeAreNotCovered) {
    std::vector<std::uint8_t> s = sample_subimage(3);
    const std::uint32_t computed = image_crc32(s.data() + 4, s.size() - 4, IMAGE_CRC_INIT);
    for (std::size_t i = 0; i < 4; ++i) {
        s[i] ^= 0xFF;
        EXPECT_EQ(image_crc32(s.data() + 4, s.size() - 4, IMAGE_CRC_INIT), computed) << "byte " << i;
        // Only the stored word changed, so only the comparison fails.
        EXPECT_EQ(image_crc_mismatch(s.data() + 4, s.size() - 4, load_be32(s.data())), 1) << "byte " << i;
        s[i] ^= 0xFF;
    }
}

}  // namespace
