// The walk over slot files for the bootable sub-image, and the verified
// payload copy, over files crafted here.
#include "boot/boot_walk.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The checksum by its bit-by-bit definition, independent of the table-driven
// routine under test.
std::uint32_t crc_oracle(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = p[i];
        for (int k = 0; k < 8; ++k) {
            c = ((c ^ b) & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            b >>= 1;
        }
    }
    return c;
}

Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

// A sound sub-image of the given type and layout, with header length h
// (layouts 2 and 3) and the given payload; the crc word is computed.
Bytes subimage(std::uint32_t type, int layout, std::uint16_t h, const Bytes& payload) {
    const std::uint32_t hl = layout == 1 ? 16 : h;
    Bytes out(hl, 0);
    ImageHeader hdr{};
    hdr.id = 0x01020304;
    hdr.magic = type;
    if (layout == 1) {
        hdr.len = static_cast<std::uint32_t>(payload.size());
    } else if (layout == 2) {
        hdr.magic |= IMAGE_EXTENDED_FLAG;
        hdr.len = static_cast<std::uint32_t>(payload.size());
        store_be16(out.data() + 18, h);
    } else {
        hdr.len = static_cast<std::uint32_t>(hl - 16 + payload.size());
        store_be32(out.data() + 16, IMAGE_HDR3_WORD);
        store_be16(out.data() + 22, h);
    }
    encode_image_header(hdr, out.data());
    for (std::size_t i = 24; i < hl; ++i) out[i] = static_cast<std::uint8_t>(i);
    out.insert(out.end(), payload.begin(), payload.end());
    store_be32(out.data(), crc_oracle(out.data() + 4, out.size() - 4));
    return out;
}

// A bare 24-byte header with exactly the given fields (no payload).
Bytes raw_header(std::uint32_t len, std::uint32_t magic, int layout, std::uint16_t h) {
    Bytes out(24, 0);
    encode_image_header(ImageHeader{0, len, magic, 0}, out.data());
    if (layout == 2) store_be16(out.data() + 18, h);
    if (layout == 3) {
        store_be32(out.data() + 16, IMAGE_HDR3_WORD);
        store_be16(out.data() + 22, h);
    }
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileOwner = std::unique_ptr<std::FILE, FileCloser>;

FileOwner file_with(const Bytes& bytes) {
    FileOwner f(std::tmpfile());
    if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    if (f) std::rewind(f.get());
    return f;
}

Bytes contents(std::FILE* f) {
    std::fflush(f);
    struct stat st {};
    fstat(fileno(f), &st);
    Bytes out(static_cast<std::size_t>(st.st_size));
    if (!out.empty()) {
        pread(fileno(f), out.data(), out.size(), 0);
    }
    return out;
}

constexpr std::uint32_t APP = IMAGE_TYPE_APPLICATION;
constexpr std::uint32_t DIAG = IMAGE_TYPE_DIAGNOSTICS;
constexpr std::uint32_t KERNEL = IMAGE_TYPE_KERNEL;
constexpr std::uint32_t ROOTFS = IMAGE_TYPE_ROOTFS;
constexpr std::uint32_t DTB = IMAGE_TYPE_DEVICETREE;

struct WalkCase {
    std::string name;
    Bytes file;
    int result;
    BootWalkEnd end;
    std::uint32_t last_type;
    std::uint64_t offset;  // of the last header examined (found: where the file stands)
    ExtentStatus extent;
    std::uint8_t layout;   // last header examined
    std::uint32_t h;
    std::uint32_t p;
};

std::vector<WalkCase> walk_cases() {
    const Bytes kernel = subimage(KERNEL, 1, 0, pattern(100, 1));  // 116 bytes
    const Bytes app2 = subimage(APP, 2, 32, pattern(50, 2));       // 82 bytes
    const Bytes app3 = subimage(APP, 3, 40, pattern(70, 3));
    const Bytes diag3 = subimage(DIAG, 3, 40, pattern(30, 4));     // 70 bytes
    const Bytes odd = subimage(0x12345678, 1, 0, pattern(9, 5));    // 25 bytes
    const Bytes rootfs = subimage(ROOTFS, 2, 24, pattern(3, 6));    // 27 bytes
    const Bytes dtb = subimage(DTB, 3, 24, pattern(0, 7));          // 24 bytes
    const Bytes tiny_app = subimage(APP, 1, 0, pattern(4, 8));      // 20 bytes
    using E = BootWalkEnd;
    using X = ExtentStatus;
    return {
        {"kernel then application", cat({kernel, app2}), 1, E::found, APP, 116, X::ok, 2, 32, 50},
        {"application first, layout 3", cat({app3, kernel}), 1, E::found, APP, 0, X::ok, 3, 40, 70},
        {"diagnostics before application", cat({diag3, app2}), 1, E::found, DIAG, 0, X::ok, 3, 40,
         30},
        {"unknown and other types skipped", cat({odd, rootfs, dtb, kernel, app2}), 1, E::found, APP,
         25 + 27 + 24 + 116, X::ok, 2, 32, 50},
        {"empty file", {}, 0, E::end_of_file, 0, 0, X::ok, 0, 0, 0},
        {"too short for a header", Bytes(23, 0x41), 0, E::end_of_file, 0, 0, X::ok, 0, 0, 0},
        {"erased flash read as a file", Bytes(64, 0xFF), 0, E::bad_header, 0x7FFFFFFF, 0,
         X::invalid, 2, 0xFFFF, 0xFFFFFFFF},
        {"only other types", cat({kernel, dtb}), 0, E::end_of_file, DTB, 116, X::ok, 3, 24, 0},
        {"tail too short after a kernel", cat({kernel, Bytes(23, 0)}), 0, E::end_of_file, KERNEL, 0,
         X::ok, 1, 16, 100},
        {"application with under 8 payload bytes at the end is not seen", cat({kernel, tiny_app}),
         0, E::end_of_file, KERNEL, 0, X::ok, 1, 16, 100},
        // Bootable headers whose extents are unusable: the caller treats
        // them as a failed checksum.
        {"application, layout 2 header length under 16", raw_header(100, APP | IMAGE_EXTENDED_FLAG, 2, 8),
         0, E::bad_bootable, APP, 0, X::invalid, 2, 8, 100},
        {"application, layout 3 header longer than len + 16", raw_header(0x10, APP, 3, 0x40), 0,
         E::bad_bootable, APP, 0, X::invalid, 3, 0x40, 0xFFFFFFE0},
        {"application, layout 2 total wraps 32 bits",
         raw_header(0xFFFFFFF0, APP | IMAGE_EXTENDED_FLAG, 2, 0x20), 0, E::bad_bootable, APP, 0,
         X::invalid, 2, 0x20, 0xFFFFFFF0},
        {"application, layout 1 len that wraps", raw_header(0xFFFFFFF8, APP, 1, 0), 0,
         E::bad_bootable, APP, 0, X::invalid, 1, 16, 0xFFFFFFF8},
        {"diagnostics, layout 2 header length 0", raw_header(0, DIAG | IMAGE_EXTENDED_FLAG, 2, 0), 0,
         E::bad_bootable, DIAG, 0, X::invalid, 2, 0, 0},
        {"application cut short by the end of the file",
         Bytes(app2.begin(), app2.end() - 1), 0, E::bad_bootable, APP, 0, X::truncated, 2, 32, 50},
        {"file ends inside an application after a kernel",
         cat({kernel, Bytes(app3.begin(), app3.begin() + 60)}), 0, E::bad_bootable, APP, 116,
         X::truncated, 3, 40, 70},
        // Other headers whose lengths describe nothing end the walk there,
        // even with an application behind them.
        {"kernel with total length 0", cat({raw_header(0, KERNEL | IMAGE_EXTENDED_FLAG, 2, 0), app2}),
         0, E::bad_header, KERNEL, 0, X::invalid, 2, 0, 0},
        {"kernel whose len wraps the offset back onto itself",
         cat({raw_header(0xFFFFFFF0, KERNEL, 1, 0), app2}), 0, E::bad_header, KERNEL, 0, X::invalid,
         1, 16, 0xFFFFFFF0},
        {"rootfs, layout 3 header longer than len + 16",
         cat({kernel, raw_header(8, ROOTFS, 3, 0x30), app2}), 0, E::bad_header, ROOTFS, 116,
         X::invalid, 3, 0x30, 0xFFFFFFE8},
        {"kernel that passes the end of the file", cat({raw_header(4096, KERNEL, 1, 0), app2}), 0,
         E::end_of_file, KERNEL, 0, X::truncated, 1, 16, 4096},
    };
}

TEST(FindBootSubimage, WalksByTheExtentOfEachHeader) {
    for (const WalkCase& c : walk_cases()) {
        SCOPED_TRACE(c.name);
        FileOwner f = file_with(c.file);
        ASSERT_TRUE(f);
        std::uint32_t type = 0xDEAD, h = 0xDEAD, p = 0xDEAD;
        std::uint8_t layout = 0xEE;
        std::uint8_t header[16];
        std::memset(header, 0xCC, sizeof header);
        BootWalkInfo info{};
        const int r = find_boot_subimage(f.get(), &type, &layout, &h, &p, header, &info);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(info.end, c.end);
        EXPECT_EQ(info.last_type, c.last_type);
        EXPECT_EQ(info.extent, c.extent);
        if (c.last_type != 0) {
            EXPECT_EQ(info.offset, c.offset);
            EXPECT_EQ(type, c.last_type);
            EXPECT_EQ(layout, c.layout);
            EXPECT_EQ(h, c.h);
            EXPECT_EQ(p, c.p);
        }
        if (r == 1) {
            EXPECT_EQ(static_cast<std::uint64_t>(ftello(f.get())), c.offset);
            EXPECT_EQ(0, std::memcmp(header, c.file.data() + c.offset, 16));
        } else {
            // header_out is written only when a sub-image is found.
            EXPECT_EQ(header[0], 0xCC);
            EXPECT_EQ(header[15], 0xCC);
        }
    }
}

TEST(FindBootSubimage, InfoIsOptional) {
    const Bytes file = cat({subimage(KERNEL, 1, 0, pattern(5, 1)), subimage(DIAG, 2, 28, pattern(9, 2))});
    FileOwner f = file_with(file);
    ASSERT_TRUE(f);
    std::uint32_t type = 0, h = 0, p = 0;
    std::uint8_t layout = 0;
    std::uint8_t header[16];
    ASSERT_EQ(find_boot_subimage(f.get(), &type, &layout, &h, &p, header), 1);
    EXPECT_EQ(type, DIAG);
    EXPECT_EQ(ftello(f.get()), 21);
}

TEST(FindBootSubimage, ManySmallSubImagesAreWalkedToTheEnd) {
    // Thousands of minimal headers: the walk steps over each by its length.
    Bytes file;
    for (int i = 0; i < 5000; ++i) {
        const Bytes k = subimage(i % 2 ? KERNEL : 0x7000000 + i, 1, 0, pattern(8, i));
        file.insert(file.end(), k.begin(), k.end());
    }
    const std::size_t app_at = file.size();
    const Bytes app = subimage(APP, 1, 0, pattern(8, 9));
    file.insert(file.end(), app.begin(), app.end());
    FileOwner f = file_with(file);
    ASSERT_TRUE(f);
    std::uint32_t type = 0, h = 0, p = 0;
    std::uint8_t layout = 0;
    std::uint8_t header[16];
    BootWalkInfo info{};
    ASSERT_EQ(find_boot_subimage(f.get(), &type, &layout, &h, &p, header, &info), 1);
    EXPECT_EQ(info.offset, app_at);
}

// The verified copy: sizes chosen around the chunk size and with header
// lengths that split a chunk.
struct CopyCase {
    const char* name;
    int layout;
    std::uint16_t h;
    std::size_t payload;
};

constexpr CopyCase kCopyCases[] = {
    {"empty payload", 1, 0, 0},
    {"small, layout 1", 1, 0, 1000},
    {"one chunk exactly, layout 1", 1, 0, BOOT_COPY_CHUNK - 16},
    {"one byte over a chunk, layout 2", 2, 24, BOOT_COPY_CHUNK - 23},
    {"several chunks, odd header length", 2, 4097, 3 * BOOT_COPY_CHUNK + 17},
    {"header longer than a chunk boundary allows, layout 3", 3, 0xFFFF, 2 * BOOT_COPY_CHUNK + 5},
};

TEST(CopyVerifiedPayload, SoundImageWritesExactlyThePayload) {
    for (const CopyCase& c : kCopyCases) {
        SCOPED_TRACE(c.name);
        const Bytes payload = pattern(c.payload, static_cast<std::uint32_t>(c.payload));
        const Bytes lead = subimage(KERNEL, 1, 0, pattern(33, 1));
        const Bytes img = subimage(APP, c.layout, c.h, payload);
        FileOwner in = file_with(cat({lead, img}));
        FileOwner out(std::tmpfile());
        ASSERT_TRUE(in && out);
        ASSERT_EQ(fseeko(in.get(), static_cast<off_t>(lead.size()), SEEK_SET), 0);
        const std::uint32_t h = c.layout == 1 ? 16 : c.h;
        EXPECT_EQ(copy_verified_payload(in.get(), h, static_cast<std::uint32_t>(c.payload),
                                        load_be32(img.data()), out.get()),
                  1);
        EXPECT_TRUE(contents(out.get()) == payload);
        EXPECT_EQ(static_cast<std::size_t>(ftello(in.get())), lead.size() + img.size());
    }
}

// Each fault is applied to a sound 3-chunk sub-image; every one must leave
// the archive empty, even though most of the payload was already written.
struct FaultCase {
    const char* name;
    std::ptrdiff_t flip_at;  // byte of the sub-image to change, -1 for none
    std::size_t cut;         // bytes removed from the end of the file
    std::uint32_t crc_xor;   // applied to the expected crc
};

constexpr FaultCase kFaultCases[] = {
    {"last payload byte changed", -2, 0, 0},
    {"first payload byte changed", 4097, 0, 0},
    {"len field changed", 5, 0, 0},
    {"byte 4 changed (first covered byte)", 4, 0, 0},
    {"header extension byte changed", 300, 0, 0},
    {"file cut one byte short", -1, 1, 0},
    {"file cut inside the header", -1, 3 * BOOT_COPY_CHUNK + 17 + 100, 0},
    {"wrong expected crc", -1, 0, 1},
};

TEST(CopyVerifiedPayload, MismatchOrShortReadLeavesArchiveEmpty) {
    const Bytes payload = pattern(3 * BOOT_COPY_CHUNK + 17, 77);
    const Bytes sound = subimage(APP, 2, 4097, payload);
    for (const FaultCase& c : kFaultCases) {
        for (bool buffered : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (buffered ? ", buffered archive" : ""));
            Bytes img = sound;
            if (c.flip_at == -2) img.back() ^= 0x01;
            if (c.flip_at >= 0) img[static_cast<std::size_t>(c.flip_at)] ^= 0x80;
            img.resize(img.size() - c.cut);
            FileOwner in = file_with(img);
            FileOwner out(std::tmpfile());
            ASSERT_TRUE(in && out);
            if (!buffered) std::setvbuf(out.get(), nullptr, _IONBF, 0);
            EXPECT_EQ(copy_verified_payload(in.get(), 4097, static_cast<std::uint32_t>(payload.size()),
                                            load_be32(sound.data()) ^ c.crc_xor, out.get()),
                      0);
            EXPECT_EQ(contents(out.get()).size(), 0u);
        }
    }
}

TEST(CopyVerifiedPayload, CrcFieldItselfIsNotCovered) {
    const Bytes payload = pattern(500, 3);
    Bytes img = subimage(DIAG, 1, 0, payload);
    const std::uint32_t crc = load_be32(img.data());
    img[0] ^= 0xFF;  // the stored crc word: the caller's expected value comes from elsewhere
    FileOwner in = file_with(img);
    FileOwner out(std::tmpfile());
    ASSERT_TRUE(in && out);
    EXPECT_EQ(copy_verified_payload(in.get(), 16, 500, crc, out.get()), 1);
    EXPECT_TRUE(contents(out.get()) == payload);
}

}  // namespace
