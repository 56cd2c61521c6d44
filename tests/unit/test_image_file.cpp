// Tests of slotimg's image logic: building sub-images in each layout, the
// argument parsers, the walk over a file and what it reports.
#include "slotimg/image_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crc32_bitwise.hpp"
#include "image/byte_order.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(std::uint32_t seed, std::size_t n) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    // A random payload must not start with "HDR3" by accident.
    if (n >= 1) v[0] = 0;
    return v;
}

Bytes build(const CreateRequest& r, const Bytes& payload) {
    Bytes out;
    const std::string error = build_subimage(r, payload, &out);
    EXPECT_EQ(error, "");
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// ---- building --------------------------------------------------------------

struct BuildCase {
    std::uint8_t layout;
    std::uint32_t header_length;  // as requested; 0 = default
    std::size_t payload_size;
    std::uint32_t type;
    std::uint32_t expect_h;
};

// Every byte of the result is checked against the layout rules, and the crc
// against the bit-by-bit oracle, independently of the code that reads headers.
TEST(BuildSubimage, WritesEachLayoutByteForByte) {
    const BuildCase cases[] = {
        {1, 0, 8, IMAGE_TYPE_KERNEL, 16},
        {1, 16, 1000, IMAGE_TYPE_APPLICATION, 16},
        {2, 0, 0, IMAGE_TYPE_ROOTFS, 24},
        {2, 40, 77, IMAGE_TYPE_DEVICETREE, 40},
        {2, 65535, 3, IMAGE_TYPE_APPLICATION, 65535},
        {3, 0, 0, IMAGE_TYPE_DIAGNOSTICS, 24},
        {3, 32, 5000, IMAGE_TYPE_APPLICATION, 32},
        {3, 24, 1, 0x12345, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "layout " << int{c.layout} << " H " << c.expect_h << " P "
                                        << c.payload_size);
        CreateRequest r;
        r.type = c.type;
        r.version = 0x01FF0A00;
        r.layout = c.layout;
        r.header_length = c.header_length;
        const Bytes payload = random_bytes(c.payload_size, c.payload_size);
        const Bytes img = build(r, payload);
        const std::uint32_t h = c.expect_h;
        const std::uint32_t p = static_cast<std::uint32_t>(c.payload_size);
        ASSERT_EQ(img.size(), h + p);

        EXPECT_EQ(load_be32(img.data()), crc32_bitwise(img.data() + 4, img.size() - 4, 0xFFFFFFFFu));
        EXPECT_EQ(load_be32(img.data() + 4), c.layout == 3 ? h - 16 + p : p);
        EXPECT_EQ(load_be32(img.data() + 8), c.layout == 2 ? (c.type | 0x80000000u) : c.type);
        EXPECT_EQ(load_be32(img.data() + 12), 0x01FF0A00u);
        Bytes expected_ext(h - 16, 0);
        if (c.layout == 2) store_be16(expected_ext.data() + 2, static_cast<std::uint16_t>(h));
        if (c.layout == 3) {
            std::memcpy(expected_ext.data(), "HDR3", 4);
            store_be16(expected_ext.data() + 6, static_cast<std::uint16_t>(h));
        }
        EXPECT_EQ(Bytes(img.begin() + 16, img.begin() + h), expected_ext);
        EXPECT_EQ(Bytes(img.begin() + h, img.end()), payload);

        // And the loader's reader sees exactly that.
        Bytes probe = img;
        probe.resize(std::max<std::size_t>(probe.size(), 24), 0);
        const SubImageExtent e = check_subimage_extent(probe.data(), img.size());
        EXPECT_EQ(e.status, ExtentStatus::ok);
        EXPECT_EQ(e.layout, c.layout);
        EXPECT_EQ(e.header_length, h);
        EXPECT_EQ(e.payload_length, p);
        EXPECT_EQ(e.type, c.type);
    }
}

TEST(BuildSubimage, EmbedsHeaderCopyAtPayloadByte240) {
    for (std::uint8_t layout : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "layout " << int{layout});
        CreateRequest r;
        r.type = IMAGE_TYPE_BOOTLOADER;
        r.version = 0x02030405;
        r.layout = layout;
        r.header_length = layout == 1 ? 0 : 48;
        r.embed_header = true;
        const Bytes payload = random_bytes(9, 300);
        const Bytes img = build(r, payload);
        const std::size_t h = layout == 1 ? 16 : 48;
        const std::uint8_t* copy = img.data() + h + 240;
        EXPECT_EQ(load_be32(copy), 0u) << "the copy's crc word is defined as 0";
        EXPECT_EQ(std::memcmp(copy + 4, img.data() + 4, 12), 0) << "len, magic and id as in the header";
        // Nothing else of the payload moved or changed.
        EXPECT_EQ(Bytes(img.begin() + h, img.begin() + h + 240), Bytes(payload.begin(), payload.begin() + 240));
        EXPECT_EQ(Bytes(img.begin() + h + 256, img.end()), Bytes(payload.begin() + 256, payload.end()));
        // The crc covers the copy.
        EXPECT_EQ(load_be32(img.data()), crc32_bitwise(img.data() + 4, img.size() - 4, 0xFFFFFFFFu));
        const ImageWalk walk = walk_image_file(img);
        ASSERT_EQ(walk.entries.size(), 1u);
        EXPECT_EQ(walk.entries[0].header_copy, HeaderCopy::matches);
    }
}

TEST(BuildSubimage, RefusesWhatCannotBeMadeOrRead) {
    const Bytes hdr3 = {'H', 'D', 'R', '3', 1, 2, 3, 4, 5, 6};
    const struct {
        const char* name;
        CreateRequest request;
        Bytes payload;
        const char* message_part;
    } cases[] = {
        {"layout 1 payload read as layout 3", {IMAGE_TYPE_KERNEL, 0, 1, 0, false}, hdr3, "HDR3"},
        {"layout 1 image under 24 bytes", {IMAGE_TYPE_KERNEL, 0, 1, 0, false}, Bytes(7, 1), "at least 8 bytes"},
        {"layout 1 with a header length", {IMAGE_TYPE_KERNEL, 0, 1, 24, false}, Bytes(8, 1), "layout 2 or 3"},
        {"layout 2 header length 23", {IMAGE_TYPE_KERNEL, 0, 2, 23, false}, Bytes(8, 1), "24..65535"},
        {"layout 3 header length 16", {IMAGE_TYPE_KERNEL, 0, 3, 16, false}, Bytes(8, 1), "24..65535"},
        {"layout 3 header length 65536", {IMAGE_TYPE_KERNEL, 0, 3, 65536, false}, Bytes(8, 1), "24..65535"},
        {"layout 4", {IMAGE_TYPE_KERNEL, 0, 4, 0, false}, Bytes(8, 1), "layout must be"},
        {"type with bit 31", {0x80000001u, 0, 2, 0, false}, Bytes(8, 1), "31 bits"},
        {"copy in a kernel", {IMAGE_TYPE_KERNEL, 0, 1, 0, true}, Bytes(300, 1), "only a bootloader"},
        {"copy in a 255-byte payload", {IMAGE_TYPE_BOOTLOADER, 0, 1, 0, true}, Bytes(255, 1), "240-255"},
    };
    for (const auto& c : cases) {
        Bytes out;
        const std::string error = build_subimage(c.request, c.payload, &out);
        EXPECT_NE(error.find(c.message_part), std::string::npos) << c.name << ": " << error;
    }
    // The HDR3 payload is fine in layouts 2 and 3, where bytes 16-19 are header.
    for (std::uint8_t layout : {2, 3}) {
        Bytes out;
        EXPECT_EQ(build_subimage({IMAGE_TYPE_KERNEL, 0, layout, 0, false}, hdr3, &out), "");
        const ImageWalk walk = walk_image_file(out);
        ASSERT_EQ(walk.entries.size(), 1u);
        EXPECT_EQ(walk.entries[0].extent.layout, layout);
        EXPECT_EQ(walk.entries[0].status, SubImageStatus::sound);
    }
}

// ---- argument parsers ------------------------------------------------------

TEST(ParseVersion, AcceptsFourBytesOnly) {
    const struct {
        const char* text;
        bool ok;
        std::uint32_t id;
        const char* shown;  // format_version of the result
    } cases[] = {
        {"1.2.3.4", true, 0x01020304, "1.2.3.4"},
        {"0.0.0.0", true, 0, "0.0.0.0"},
        {"255.255.255.255", true, 0xFFFFFFFF, "255.255.255.255"},
        {"1.255.10.0", true, 0x01FF0A00, "1.255.10.0"},
        {"010.0.0.1", true, 0x0A000001, "10.0.0.1"},
        {"1.2.3", false, 0, ""},
        {"1.2.3.4.5", false, 0, ""},
        {"256.0.0.0", false, 0, ""},
        {"1..2.3", false, 0, ""},
        {"a.b.c.d", false, 0, ""},
        {"1.2.3.-4", false, 0, ""},
        {"", false, 0, ""},
        {"1.2.3.4 ", false, 0, ""},
        {"0001.2.3.4", false, 0, ""},
        {"1.2.3.", false, 0, ""},
        {".1.2.3", false, 0, ""},
    };
    for (const auto& c : cases) {
        std::uint32_t id = 0xDEAD;
        ASSERT_EQ(parse_version(c.text, &id), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(id, c.id) << c.text;
        EXPECT_EQ(format_version(id), c.shown) << c.text;
    }
}

TEST(ParseType, NamesAndCodes) {
    const struct {
        const char* text;
        bool ok;
        std::uint32_t code;
    } cases[] = {
        {"application", true, 0x014F5249}, {"bootloader", true, 0x024F5249}, {"kernel", true, 0x034F5249},
        {"rootfs", true, 0x044F5249},      {"devicetree", true, 0x054F5249}, {"diagnostics", true, 0x064F5249},
        {"7", true, 7},                    {"0x034f5249", true, 0x034F5249}, {"0X7FFFFFFF", true, 0x7FFFFFFF},
        {"2147483647", true, 0x7FFFFFFF},  {"0x80000000", false, 0},        {"2147483648", false, 0},
        {"kernal", false, 0},              {"Kernel", false, 0},            {"", false, 0},
        {"0x", false, 0},                  {"12abc", false, 0},             {"-1", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t code = 0;
        ASSERT_EQ(parse_type(c.text, &code), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(code, c.code) << c.text;
        }
    }
}

// ---- walking ---------------------------------------------------------------

Bytes make(std::uint8_t layout, std::uint32_t type, std::size_t payload_size, std::uint32_t seed) {
    CreateRequest r;
    r.type = type;
    r.version = 0x01000000 + seed;
    r.layout = layout;
    return build(r, random_bytes(seed, payload_size));
}

// A layout-1 sub-image with a payload under 8 bytes: build_subimage refuses
// it, but files from elsewhere may hold one.
Bytes tiny_layout1(std::size_t payload_size) {
    Bytes s(16 + payload_size, 0x11);
    store_be32(s.data() + 4, static_cast<std::uint32_t>(payload_size));
    store_be32(s.data() + 8, IMAGE_TYPE_KERNEL);
    store_be32(s.data() + 12, 0);
    store_be32(s.data(), crc32_bitwise(s.data() + 4, s.size() - 4, 0xFFFFFFFFu));
    return s;
}

TEST(WalkImageFile, ListsSubimagesBackToBack) {
    const Bytes a = make(1, IMAGE_TYPE_KERNEL, 30, 1);
    const Bytes b = make(3, IMAGE_TYPE_APPLICATION, 500, 2);
    const Bytes c = make(2, IMAGE_TYPE_ROOTFS, 0, 3);
    const ImageWalk walk = walk_image_file(concat({a, b, c}));
    ASSERT_EQ(walk.entries.size(), 3u);
    EXPECT_EQ(walk.entries[0].offset, 0u);
    EXPECT_EQ(walk.entries[1].offset, a.size());
    EXPECT_EQ(walk.entries[2].offset, a.size() + b.size());
    EXPECT_EQ(walk.entries[1].extent.type, std::uint32_t{IMAGE_TYPE_APPLICATION});
    EXPECT_EQ(walk.entries[2].extent.magic, IMAGE_TYPE_ROOTFS | 0x80000000u);
    for (const auto& e : walk.entries) {
        EXPECT_EQ(e.status, SubImageStatus::sound);
        EXPECT_EQ(e.computed_crc, e.header.crc);
    }
    EXPECT_EQ(walk.trailing_length, 0u);
    EXPECT_TRUE(walk_problems(walk).empty());
}

TEST(WalkImageFile, ReportsEachKindOfProblem) {
    const Bytes a = make(1, IMAGE_TYPE_KERNEL, 30, 1);
    const Bytes b = make(3, IMAGE_TYPE_APPLICATION, 100, 2);
    Bytes bad_crc = b;
    bad_crc[bad_crc.size() - 1] ^= 0x40;
    Bytes invalid = make(3, IMAGE_TYPE_APPLICATION, 100, 4);
    store_be16(invalid.data() + 22, 200);  // H above len + 16
    const Bytes junk = {1, 2, 3, 4, 5};

    const struct {
        const char* name;
        Bytes file;
        std::vector<SubImageStatus> statuses;
        std::uint64_t trailing_offset, trailing_length;
        std::vector<std::string> problems;
    } cases[] = {
        {"empty file", {}, {}, 0, 0, {"no sub-image found"}},
        {"23 bytes", Bytes(23, 0), {}, 0, 23, {"trailing 23 bytes at offset 0 hold no sub-image", "no sub-image found"}},
        {"trailing junk", concat({a, junk}), {SubImageStatus::sound}, a.size(), 5,
         {"trailing 5 bytes at offset 46 hold no sub-image"}},
        {"crc mismatch, walk goes on", concat({bad_crc, a}), {SubImageStatus::crc_mismatch, SubImageStatus::sound}, 0,
         0, {"sub-image #0 at offset 0: crc mismatch (stored 0x" /* prefix */}},
        {"invalid lengths stop the walk", concat({a, invalid, a}),
         {SubImageStatus::sound, SubImageStatus::invalid_lengths}, 0, 0,
         {"sub-image #1 at offset 46: invalid header lengths (layout 3, len 108, H 200)"}},
        {"cut short", concat({a, Bytes(b.begin(), b.end() - 1)}), {SubImageStatus::sound, SubImageStatus::truncated},
         0, 0, {"sub-image #1 at offset 46: cut short by the end of the file (T 124, 123 bytes remain)"}},
        // Fewer than 24 bytes at the end: the walk does not see the image.
        {"layout-1 image of 20 bytes at the end", concat({a, tiny_layout1(4)}), {SubImageStatus::sound}, a.size(), 20,
         {"trailing 20 bytes at offset 46 hold no sub-image"}},
        // In the middle the walk reads 24 bytes and sees it.
        {"layout-1 image of 20 bytes in the middle", concat({tiny_layout1(4), a}),
         {SubImageStatus::sound, SubImageStatus::sound}, 0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageWalk walk = walk_image_file(c.file);
        ASSERT_EQ(walk.entries.size(), c.statuses.size());
        for (std::size_t i = 0; i < c.statuses.size(); ++i) EXPECT_EQ(walk.entries[i].status, c.statuses[i]) << i;
        EXPECT_EQ(walk.trailing_offset, c.trailing_offset);
        EXPECT_EQ(walk.trailing_length, c.trailing_length);
        const std::vector<std::string> problems = walk_problems(walk);
        ASSERT_EQ(problems.size(), c.problems.size());
        for (std::size_t i = 0; i < problems.size(); ++i) {
            EXPECT_EQ(problems[i].rfind(c.problems[i], 0), 0u) << problems[i];
        }
    }
}

TEST(WalkImageFile, HeaderCopyOfBootloaders) {
    CreateRequest r;
    r.type = IMAGE_TYPE_BOOTLOADER;
    r.version = 0x01020304;
    const Bytes without = build(r, random_bytes(5, 300));
    const Bytes too_short = build(r, random_bytes(6, 255));
    r.embed_header = true;
    Bytes with = build(r, random_bytes(7, 300));
    Bytes stale = with;
    stale[16 + 240 + 15] ^= 1;  // id of the copy
    store_be32(stale.data(), crc32_bitwise(stale.data() + 4, stale.size() - 4, 0xFFFFFFFFu));
    const Bytes kernel = make(1, IMAGE_TYPE_KERNEL, 300, 8);
    const ImageWalk walk = walk_image_file(concat({with, without, too_short, stale, kernel}));
    ASSERT_EQ(walk.entries.size(), 5u);
    EXPECT_EQ(walk.entries[0].header_copy, HeaderCopy::matches);
    EXPECT_EQ(walk.entries[1].header_copy, HeaderCopy::differs);
    EXPECT_EQ(walk.entries[2].header_copy, HeaderCopy::missing);
    EXPECT_EQ(walk.entries[3].header_copy, HeaderCopy::differs);
    EXPECT_EQ(walk.entries[4].header_copy, HeaderCopy::not_applicable);
    // A copy is information, not a verdict.
    EXPECT_TRUE(walk_problems(walk).empty());
}

// Whatever the bytes, the walk ends, moves forward, and stays in the file.
TEST(WalkImageFile, RandomFilesEndAndStayInBounds) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        Bytes file(rng() % 600);
        for (auto& x : file) x = static_cast<std::uint8_t>(rng());
        // Plant small plausible headers so the walk takes several steps.
        for (std::size_t at = 0; at + 24 <= file.size(); at += 16 + rng() % 40) {
            store_be32(file.data() + at + 4, rng() % 48);
            if (rng() % 2) store_be32(file.data() + at + 16, IMAGE_HDR3_WORD);
        }
        const ImageWalk walk = walk_image_file(file);
        std::uint64_t next = 0;
        for (const auto& e : walk.entries) {
            ASSERT_EQ(e.offset, next);
            ASSERT_LE(e.offset + 24, file.size());
            if (e.extent.status != ExtentStatus::ok) break;
            ASSERT_GE(e.extent.total_length, 16u);
            next = e.offset + e.extent.total_length;
            ASSERT_LE(next, file.size());
        }
        if (walk.trailing_length) {
            ASSERT_EQ(walk.trailing_offset + walk.trailing_length, file.size());
            ASSERT_LT(walk.trailing_length, 24u);
        }
    }
}

// ---- describing ------------------------------------------------------------

TEST(FormatInfo, TextListsEveryFieldAndTheVerdict) {
    const Bytes a = make(3, IMAGE_TYPE_APPLICATION, 100, 1);
    Bytes unknown = make(1, 0x12345, 10, 2);
    const Bytes junk = {9, 9, 9};
    const std::string text = format_info_text(walk_image_file(concat({a, unknown, junk})), "x.img");
    const std::string crc_a = "0x" + [&] {
        char buf[9];
        std::snprintf(buf, sizeof buf, "%08X", load_be32(a.data()));
        return std::string(buf);
    }();
    EXPECT_EQ(text.rfind("x.img: 2 sub-images in 153 bytes\n", 0), 0u) << text;
    EXPECT_NE(text.find("application  1.0.0.1         3      24     100        124        " + crc_a + " " + crc_a +
                        " sound\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("0x00012345   1.0.0.2         1      16     10         26"), std::string::npos) << text;
    EXPECT_NE(text.find("trailing 3 bytes at offset 150 hold no sub-image\n"), std::string::npos) << text;
    EXPECT_NE(text.find("result: NOT sound\n"), std::string::npos) << text;
}

TEST(FormatInfo, JsonCarriesTheSameAndEscapesTheName) {
    const Bytes a = make(2, IMAGE_TYPE_KERNEL, 40, 1);
    Bytes bad = make(1, 0x12345, 10, 2);
    bad[20] ^= 1;
    const std::string json = format_info_json(walk_image_file(concat({a, bad})), "we\"ird\\name\n");
    EXPECT_EQ(json.rfind("{\"file\": \"we\\\"ird\\\\name\\n\", \"size\": 90, \"subimages\": [", 0), 0u) << json;
    EXPECT_NE(json.find("\"type\": \"kernel\", \"type_code\": 55530057, \"magic\": 2203013705, \"version\": \"1.0.0.1\", "
                        "\"layout\": 2, \"header_length\": 24, \"payload_length\": 40, \"total_length\": 64"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"type\": null, \"type_code\": 74565"), std::string::npos) << json;
    EXPECT_NE(json.find("\"status\": \"crc mismatch\", \"sound\": false}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"trailing\": null, \"sound\": false}\n"), std::string::npos) << json;
    // Braces and brackets balance outside strings.
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char ch = json[i];
        if (in_string) {
            if (ch == '\\') ++i;
            else if (ch == '"') in_string = false;
            continue;
        }
        if (ch == '"') in_string = true;
        if (ch == '{' || ch == '[') ++depth;
        if (ch == '}' || ch == ']') --depth;
        ASSERT_GE(depth, 0);
    }
    EXPECT_EQ(depth, 0);
    EXPECT_FALSE(in_string);
}

}  // namespace
