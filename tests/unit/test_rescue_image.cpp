// Tests of the rescue sub-image check-and-stream and of the debugger copy.
#include "boot/rescue_image.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/flash.hpp"
#include "sim_test_support.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A partition in memory that records what was asked of it and can fail the
// Nth read (counted from 1).
struct MemorySource {
    Bytes bytes;
    int fail_read = 0;
    int reads = 0;
    std::uint32_t longest_read = 0;
    bool read_past_end = false;

    static int read(void* context, std::uint32_t offset, std::uint32_t length, void* buffer) {
        auto* self = static_cast<MemorySource*>(context);
        ++self->reads;
        self->longest_read = std::max(self->longest_read, length);
        if (std::uint64_t{offset} + length > self->bytes.size()) {
            self->read_past_end = true;
            return -1;
        }
        if (self->reads == self->fail_read) return -1;
        std::copy_n(self->bytes.begin() + offset, length, static_cast<std::uint8_t*>(buffer));
        return 0;
    }
    ImageSource source() { return ImageSource{read, this, bytes.size()}; }
};

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
    return b;
}

// A sound sub-image of the given layout: header of `header_length` bytes
// (16 for layout 1), then the payload, with its crc filled in.
Bytes make_subimage(int layout, std::uint32_t magic, std::uint32_t header_length,
                    const Bytes& payload) {
    Bytes img(header_length, 0);
    std::uint32_t len = static_cast<std::uint32_t>(payload.size());
    if (layout == 2) {
        magic |= IMAGE_EXTENDED_FLAG;
        store_be16(img.data() + 18, static_cast<std::uint16_t>(header_length));
    } else if (layout == 3) {
        store_be32(img.data() + 16, IMAGE_HDR3_WORD);
        store_be16(img.data() + 22, static_cast<std::uint16_t>(header_length));
        len = static_cast<std::uint32_t>(header_length - 16 + payload.size());
    }
    store_be32(img.data() + 4, len);
    store_be32(img.data() + 8, magic);
    store_be32(img.data() + 12, 0x01020304);
    img.insert(img.end(), payload.begin(), payload.end());
    store_be32(img.data(), image_crc32(img.data() + 4, img.size() - 4, IMAGE_CRC_INIT));
    return img;
}

// Places `image` at offset 0 of an erased partition of `size` bytes.
Bytes partition_with(const Bytes& image, std::size_t size) {
    Bytes p(std::max(size, image.size()), 0xFF);
    std::copy(image.begin(), image.end(), p.begin());
    p.resize(size);
    return p;
}

Bytes contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    Bytes out;
    std::uint8_t buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
}

// A scratch file that already holds bytes from some earlier boot.
UniqueFile used_output() {
    UniqueFile f(std::tmpfile());
    const Bytes junk = pattern(5000, 7);
    std::fwrite(junk.data(), 1, junk.size(), f.get());
    std::rewind(f.get());
    return f;
}

// ---------------------------------------------------------------------------

struct SoundCase {
    const char* name;
    int layout;
    std::uint32_t type;
    std::uint32_t header_length;
    std::size_t payload_size;
    std::size_t partition_size;  // 0: exactly the image
};
void PrintTo(const SoundCase& c, std::ostream* os) { *os << c.name; }


class SoundImage : public ::testing::TestWithParam<SoundCase> {};

TEST_P(SoundImage, PayloadLandsInTheArchiveExactly) {
    const SoundCase& c = GetParam();
    const Bytes payload = pattern(c.payload_size, 3);
    const Bytes img = make_subimage(c.layout, c.type, c.header_length, payload);
    MemorySource flash{partition_with(img, c.partition_size ? c.partition_size : img.size())};
    UniqueFile archive(std::tmpfile());

    const RescueImage r = stream_rescue_image(flash.source(), archive.get());

    EXPECT_EQ(r.status, RescueImageStatus::sound);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.header_length, c.header_length);
    EXPECT_EQ(r.payload_length, c.payload_size);
    EXPECT_EQ(r.total_length, img.size());
    EXPECT_EQ(contents(archive.get()), payload);
    EXPECT_LE(flash.longest_read, RESCUE_COPY_CHUNK);
    EXPECT_FALSE(flash.read_past_end);

    UniqueFile copy(std::tmpfile());
    EXPECT_EQ(copy_rescue_image(flash.source(), r, copy.get()), 1);
    EXPECT_EQ(contents(copy.get()), img);
    EXPECT_LE(flash.longest_read, RESCUE_COPY_CHUNK);
}

const SoundCase kSoundCases[] = {
    {"EmptyPayload", 1, IMAGE_TYPE_APPLICATION, 16, 0, 1 << 20},
    {"SmallLayout1", 1, IMAGE_TYPE_DIAGNOSTICS, 16, 1000, 1 << 20},
    {"Layout2AcrossChunks", 2, IMAGE_TYPE_APPLICATION, 40, 3 * RESCUE_COPY_CHUNK + 17, 1 << 20},
    {"Layout3AcrossChunks", 3, IMAGE_TYPE_DIAGNOSTICS, 0x20, 200000, 1 << 20},
    {"HeaderAlmostAChunk", 2, IMAGE_TYPE_APPLICATION, 65535, 10, 1 << 20},
    {"PayloadEndsOnAChunkEdge", 1, IMAGE_TYPE_APPLICATION, 16, 2 * RESCUE_COPY_CHUNK - 16, 0},
    {"ImageFillsThePartition", 3, IMAGE_TYPE_APPLICATION, 24, 100000, 0},
};
INSTANTIATE_TEST_SUITE_P(RescueImage, SoundImage, ::testing::ValuesIn(kSoundCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

struct RefusedCase {
    const char* name;
    RescueImageStatus expected;
    Bytes partition;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }


Bytes with_word(Bytes b, std::size_t at, std::uint32_t v) {
    store_be32(b.data() + at, v);
    return b;
}
Bytes with_half(Bytes b, std::size_t at, std::uint16_t v) {
    store_be16(b.data() + at, v);
    return b;
}
Bytes with_byte_flipped(Bytes b, std::size_t at) {
    b[at] ^= 0x01;
    return b;
}

std::vector<RefusedCase> refused_cases() {
    const Bytes app = make_subimage(1, IMAGE_TYPE_APPLICATION, 16, pattern(200000, 1));
    const Bytes l3 = make_subimage(3, IMAGE_TYPE_APPLICATION, 0x20, pattern(3000, 2));
    const Bytes l2 = make_subimage(2, IMAGE_TYPE_DIAGNOSTICS, 32, pattern(3000, 2));
    const std::size_t part = 1 << 20;
    using S = RescueImageStatus;
    return {
        {"Erased", S::not_found, Bytes(part, 0xFF)},
        {"Zeroed", S::not_found, Bytes(part, 0x00)},
        {"KernelImage", S::not_found,
         partition_with(make_subimage(1, IMAGE_TYPE_KERNEL, 16, pattern(100, 1)), part)},
        {"EmptyPartition", S::not_found, Bytes{}},
        {"CrcWordWrong", S::corrupt, partition_with(with_byte_flipped(app, 0), part)},
        {"LastPayloadByteWrong", S::corrupt,
         partition_with(with_byte_flipped(app, app.size() - 1), part)},
        {"IdFieldWrong", S::corrupt, partition_with(with_byte_flipped(app, 15), part)},
        {"Layout3HeaderLongerThanLen", S::corrupt,
         partition_with(with_half(l3, 22, 0x1000), part)},
        {"Layout2HeaderShorterThan16", S::corrupt, partition_with(with_half(l2, 18, 8), part)},
        {"LenOneBytePastTheEnd", S::corrupt,
         partition_with(with_word(app, 4, static_cast<std::uint32_t>(part - 16 + 1)), part)},
        {"LenWrapsThe32BitRange", S::corrupt, partition_with(with_word(app, 4, 0xFFFFFFF8u), part)},
        {"PartitionEndsInsideTheImage", S::corrupt, partition_with(app, app.size() - 1)},
        {"PartitionShorterThanAProbe", S::corrupt,
         Bytes(app.begin(), app.begin() + 20)},
    };
}

class RefusedImage : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedImage, LeavesTheArchiveEmptyAndReadsNothingPastTheEnd) {
    const RefusedCase& c = GetParam();
    MemorySource flash{c.partition};
    UniqueFile archive = used_output();

    const RescueImage r = stream_rescue_image(flash.source(), archive.get());

    EXPECT_EQ(r.status, c.expected);
    EXPECT_TRUE(contents(archive.get()).empty());
    EXPECT_FALSE(flash.read_past_end);
    EXPECT_LE(flash.longest_read, RESCUE_COPY_CHUNK);
    UniqueFile copy(std::tmpfile());
    EXPECT_EQ(copy_rescue_image(flash.source(), r, copy.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(RescueImage, RefusedImage, ::testing::ValuesIn(refused_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RescueImage, ErasedFlashReportsTheErasedType) {
    MemorySource flash{Bytes(4096, 0xFF)};
    UniqueFile archive(std::tmpfile());
    EXPECT_EQ(stream_rescue_image(flash.source(), archive.get()).type, 0x7FFFFFFFu);
}

// ---------------------------------------------------------------------------

class FailingRead : public ::testing::TestWithParam<int> {};

TEST_P(FailingRead, IsTreatedAsACorruptImage) {
    const Bytes img = make_subimage(2, IMAGE_TYPE_APPLICATION, 64, pattern(4 * RESCUE_COPY_CHUNK, 5));
    MemorySource flash{partition_with(img, 1 << 20)};
    flash.fail_read = GetParam();
    UniqueFile archive = used_output();

    const RescueImage r = stream_rescue_image(flash.source(), archive.get());

    EXPECT_EQ(r.status, RescueImageStatus::corrupt);
    EXPECT_TRUE(contents(archive.get()).empty());
}

// The probe, the first chunk, a middle chunk and the last chunk.
INSTANTIATE_TEST_SUITE_P(RescueImage, FailingRead, ::testing::Values(1, 2, 4, 6));

TEST(RescueImage, InstallCopyFailsWhenAReadFails) {
    const Bytes img = make_subimage(1, IMAGE_TYPE_APPLICATION, 16, pattern(300000, 9));
    MemorySource flash{partition_with(img, 1 << 20)};
    UniqueFile archive(std::tmpfile());
    const RescueImage r = stream_rescue_image(flash.source(), archive.get());
    ASSERT_EQ(r.status, RescueImageStatus::sound);

    flash.fail_read = flash.reads + 3;
    UniqueFile copy(std::tmpfile());
    EXPECT_EQ(copy_rescue_image(flash.source(), r, copy.get()), 0);
}

TEST(RescueImage, InstallCopyFailsWhenTheFlashChangedSinceTheCheck) {
    const Bytes img = make_subimage(1, IMAGE_TYPE_APPLICATION, 16, pattern(300000, 9));
    MemorySource flash{partition_with(img, 1 << 20)};
    UniqueFile archive(std::tmpfile());
    const RescueImage r = stream_rescue_image(flash.source(), archive.get());
    ASSERT_EQ(r.status, RescueImageStatus::sound);

    flash.bytes[250000] ^= 0x80;
    UniqueFile copy(std::tmpfile());
    EXPECT_EQ(copy_rescue_image(flash.source(), r, copy.get()), 0);
}

// ---------------------------------------------------------------------------
// The same check over the rescue partition of the simulated flash.

struct FlashCase {
    const char* name;
    Bytes partition;
    std::string faults;
    RescueImageStatus expected;
    const Bytes* expected_archive;  // for a sound image
    unsigned long expected_reads;   // preads that reach the flash
};
void PrintTo(const FlashCase& c, std::ostream* os) { *os << c.name; }

constexpr std::size_t kRescueSize = 16 * 65536;
const Bytes kFlashPayload = pattern(300000, 21);
const Bytes kFlashImage = make_subimage(2, IMAGE_TYPE_DIAGNOSTICS, 48, kFlashPayload);
// One probe, then the sub-image in whole chunks.
const unsigned long kChunkReads = (kFlashImage.size() + RESCUE_COPY_CHUNK - 1) / RESCUE_COPY_CHUNK;

std::vector<FlashCase> flash_cases() {
    using S = RescueImageStatus;
    const Bytes sound = partition_with(kFlashImage, kRescueSize);
    return {
        {"Sound", sound, "", S::sound, &kFlashPayload, 1 + kChunkReads},
        {"Erased", Bytes(kRescueSize, 0xFF), "", S::not_found, nullptr, 1},
        {"ProbeReadFails", sound, "flash:rescue:read:1", S::corrupt, nullptr, 1},
        {"FirstChunkReadFails", sound, "flash:rescue:read:2", S::corrupt, nullptr, 2},
        {"LastChunkReadFails", sound, "flash:rescue:read:" + std::to_string(1 + kChunkReads),
         S::corrupt, nullptr, 1 + kChunkReads},
        {"GeometryFailsBeforeAChunk", sound, "flash:rescue:info:3", S::corrupt, nullptr, 1},
        {"LenPastThePartitionEnd", partition_with(with_word(kFlashImage, 4, kRescueSize), kRescueSize),
         "", S::corrupt, nullptr, 1},
        {"ImageCutByThePartitionEnd", partition_with(kFlashImage, 200000), "", S::corrupt, nullptr, 1},
    };
}

class RescueFlash : public ::testing::TestWithParam<FlashCase> {};

TEST_P(RescueFlash, ChecksAndStreamsTheRescuePartition) {
    const FlashCase& c = GetParam();
    sim_test::Board board;
    board.config.faults = c.faults;
    board.set_partition("rescue", c.partition);
    ASSERT_TRUE(board.apply());
    open_flash_partitions();

    int handle = flash_handle(FlashPartition::rescue);
    ImageSource source{};
    ASSERT_TRUE(flash_image_source(&handle, &source));
    EXPECT_EQ(source.size, c.partition.size());
    UniqueFile archive = used_output();
    sim_test::StdoutCapture out;  // a failing geometry query prints a line
    const RescueImage r = stream_rescue_image(source, archive.get());
    out.finish();

    EXPECT_EQ(r.status, c.expected);
    EXPECT_EQ(contents(archive.get()), c.expected_archive ? *c.expected_archive : Bytes{});
    EXPECT_EQ(sim_board::flash_counts().read, c.expected_reads);
    EXPECT_EQ(board.partition("rescue"), c.partition);
}

INSTANTIATE_TEST_SUITE_P(RescueImage, RescueFlash, ::testing::ValuesIn(flash_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RescueFlash, NoSourceWhenTheGeometryCannotBeQueried) {
    sim_test::Board board;
    board.config.faults = "flash:rescue:info:1";
    board.set_partition("rescue", Bytes(kRescueSize, 0xFF));
    ASSERT_TRUE(board.apply());
    open_flash_partitions();
    int handle = flash_handle(FlashPartition::rescue);
    ImageSource source{};
    sim_test::StdoutCapture out;
    EXPECT_FALSE(flash_image_source(&handle, &source));
    EXPECT_EQ(out.finish(), "Could not get MTD device info \n");
}

TEST(RescueFlash, InstallCopyOfTheWholeSubImage) {
    sim_test::Board board;
    board.set_partition("rescue", partition_with(kFlashImage, kRescueSize));
    ASSERT_TRUE(board.apply());
    open_flash_partitions();
    int handle = flash_handle(FlashPartition::rescue);
    ImageSource source{};
    ASSERT_TRUE(flash_image_source(&handle, &source));
    UniqueFile archive(std::tmpfile());
    const RescueImage r = stream_rescue_image(source, archive.get());
    ASSERT_EQ(r.status, RescueImageStatus::sound);

    UniqueFile image(std::tmpfile());
    EXPECT_EQ(copy_rescue_image(source, r, image.get()), 1);
    EXPECT_EQ(contents(image.get()), kFlashImage);
}

// ---------------------------------------------------------------------------
// The debugger copy, on files in a scratch directory.

class DebuggerCopy : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/test_rescue_image.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        slot_ = dir_ + "/image1";
        gz_ = dir_ + "/gdb.gz";
    }
    void TearDown() override {
        std::remove(slot_.c_str());
        std::remove(gz_.c_str());
        rmdir(dir_.c_str());
    }
    void write_slot(const Bytes& b) {
        UniqueFile f(std::fopen(slot_.c_str(), "wb"));
        ASSERT_TRUE(f);
        if (!b.empty()) {
            ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f.get()), b.size());
        }
    }
    Bytes gz_contents() {
        UniqueFile f(std::fopen(gz_.c_str(), "rb"));
        return f ? contents(f.get()) : Bytes{};
    }
    std::string dir_, slot_, gz_;
};

Bytes slot_file(std::uint32_t magic, std::uint32_t len, std::size_t body_size) {
    Bytes b(16, 0);
    store_be32(b.data(), 0xDEADBEEF);  // never checked
    store_be32(b.data() + 4, len);
    store_be32(b.data() + 8, magic);
    const Bytes body = pattern(body_size, 11);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

struct DebuggerCase {
    const char* name;
    std::uint32_t magic;
    std::uint32_t len;
    std::size_t body_size;
    std::size_t expect_copied;
    const char* expect_stdout;
};
void PrintTo(const DebuggerCase& c, std::ostream* os) { *os << c.name; }


class DebuggerCopyAccepted : public DebuggerCopy,
                             public ::testing::WithParamInterface<DebuggerCase> {};

TEST_P(DebuggerCopyAccepted, CopiesAtMostLenBytesFromByte16) {
    const DebuggerCase& c = GetParam();
    const Bytes slot = slot_file(c.magic, c.len, c.body_size);
    write_slot(slot);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = copy_debugger_image(slot_.c_str(), gz_.c_str(), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, c.expect_stdout);
    EXPECT_EQ(err, "");
    EXPECT_EQ(gz_contents(), Bytes(slot.begin() + 16, slot.begin() + 16 + c.expect_copied));
}

const DebuggerCase kAcceptedCases[] = {
    {"ShorterThanFile", 0x014F5249, 100, 300, 100, "Found GDB image 1 of length = 100.\n"},
    {"ExactlyTheFile", 0x064F5249, 300, 300, 300, "Found GDB image 1 of length = 300.\n"},
    {"LongerThanFile", 0x014F5249, 1000, 300, 300, "Found GDB image 1 of length = 1000.\n"},
    {"HugeLenStopsAtEnd", 0x014F5249, 0xFFFFFFFFu, 200000, 200000,
     "Found GDB image 1 of length = 4294967295.\n"},
    {"ZeroLen", 0x014F5249, 0, 300, 0, "Found GDB image 1 of length = 0.\n"},
};
INSTANTIATE_TEST_SUITE_P(RescueImage, DebuggerCopyAccepted, ::testing::ValuesIn(kAcceptedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DebuggerCopy, CopyStartsAtByte16WhateverTheLayout) {
    // A layout-3 header: the copy still starts right after the fixed part.
    Bytes slot = slot_file(0x014F5249, 40, 40);
    store_be32(slot.data() + 16, IMAGE_HDR3_WORD);
    store_be16(slot.data() + 22, 0x20);
    write_slot(slot);
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_debugger_image(slot_.c_str(), gz_.c_str(), 2), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Found GDB image 2 of length = 40.\n");
    EXPECT_EQ(gz_contents(), Bytes(slot.begin() + 16, slot.end()));
}

struct RefusedMagicCase {
    const char* name;
    Bytes file;
    const char* expect_stderr;
};
void PrintTo(const RefusedMagicCase& c, std::ostream* os) { *os << c.name; }


class DebuggerCopyRefused : public DebuggerCopy,
                            public ::testing::WithParamInterface<RefusedMagicCase> {};

TEST_P(DebuggerCopyRefused, PrintsTheMagicAndCopiesNothing) {
    write_slot(GetParam().file);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(copy_debugger_image(slot_.c_str(), gz_.c_str(), 2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().expect_stderr);
    EXPECT_TRUE(gz_contents().empty());
}

const RefusedMagicCase kRefusedMagic[] = {
    {"Layout2Application", slot_file(0x814F5249, 100, 100),
     "Image has invalid header 0x814f5249\n"},
    {"Layout2Diagnostics", slot_file(0x864F5249, 100, 100),
     "Image has invalid header 0x864f5249\n"},
    {"Kernel", slot_file(0x034F5249, 100, 100), "Image has invalid header 0x34f5249\n"},
    {"Erased", Bytes(64, 0xFF), "Image has invalid header 0xffffffff\n"},
    {"ShorterThanAHeader", Bytes(8, 0x01), "Image has invalid header 0x0\n"},
    {"EmptyFile", Bytes{}, "Image has invalid header 0x0\n"},
};
INSTANTIATE_TEST_SUITE_P(RescueImage, DebuggerCopyRefused, ::testing::ValuesIn(kRefusedMagic),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DebuggerCopy, MissingSlotFileNamesTheSlot) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(copy_debugger_image(slot_.c_str(), gz_.c_str(), 2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open GDB image (from slot 2)\n");
}

TEST_F(DebuggerCopy, UnwritableOutput) {
    write_slot(slot_file(0x014F5249, 10, 10));
    const std::string gz_in_missing_dir = dir_ + "/no/such/dir/gdb.gz";
    testing::internal::CaptureStderr();
    EXPECT_EQ(copy_debugger_image(slot_.c_str(), gz_in_missing_dir.c_str(), 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open GDB output file.\n");
}

}  // namespace
