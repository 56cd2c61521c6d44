// The rescue sub-image check-and-stream, and the debugger copy.
#include "boot/rescue_image.hpp"

#include <cstring>

#include "boot_test_support.hpp"

namespace {

using namespace boot_test;
constexpr std::uint32_t APP = IMAGE_TYPE_APPLICATION, DIAG = IMAGE_TYPE_DIAGNOSTICS, CHUNK = STREAM_CHUNK_SIZE;

// A partition in memory that fails its Nth read, and any read past its end or over a chunk.
struct Flash {
    Bytes bytes;
    int fail_read = 0, reads = 0;
    bool bad_read = false;
    bool read(std::uint64_t offset, std::span<std::uint8_t> into) {
        bad_read = bad_read || offset + into.size() > bytes.size() || into.size() > CHUNK;
        if (++reads == fail_read || bad_read) return false;
        std::memcpy(into.data(), bytes.data() + offset, into.size());
        return true;
    }
    ImageSource source() {
        return {[this](std::uint64_t offset, std::span<std::uint8_t> into) { return read(offset, into); }, bytes.size()};
    }
};

TEST(StreamRescueImage, StreamsASoundPayloadAndLeavesTheArchiveEmptyOtherwise) {
    auto partition = [](Bytes image, std::size_t size = 1 << 20) { image.resize(size, 0xFF); return image; };
    const Bytes app = subimage(APP, 1, 16, pattern(200000, 1));  // read as a probe and 4 chunks
    const Bytes diag = subimage(DIAG, 2, 40, pattern(3 * CHUNK + 17, 2));
    Bytes bad_crc = app;
    bad_crc.back() ^= 1;
    using S = RescueImageStatus;
    struct { const char* name; Bytes part; S status; std::uint32_t h = 0, t = 0; int fail_read = 0; } cases[] = {
        {"layout 2", partition(diag), S::sound, 40, static_cast<std::uint32_t>(diag.size())},
        {"layout 3 filling the partition", subimage(APP, 3, 32, pattern(2 * CHUNK - 32, 3)), S::sound, 32, 2 * CHUNK},
        {"erased", Bytes(1 << 20, 0xFF), S::not_found},
        {"no partition", {}, S::not_found},
        {"last payload byte changed", partition(bad_crc), S::corrupt},
        {"partition ends a byte inside the image", partition(app, app.size() - 1), S::corrupt},
        {"probe read fails", partition(app), S::corrupt, 0, 0, 1},
        {"last chunk read fails", partition(app), S::corrupt, 0, 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Flash flash{c.part, c.fail_read};
        UniqueFile archive = file_with(pattern(5000, 7));  // left from an earlier boot
        const RescueImage r = stream_rescue_image(flash.source(), archive.get());
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contents(archive.get()) == Bytes(c.part.begin() + c.h, c.part.begin() + c.t));
        EXPECT_FALSE(flash.bad_read);
    }
}

std::string path_of(const UniqueFile& f) { return "/proc/self/fd/" + std::to_string(fileno(f.get())); }

TEST(CopyDebuggerImage, CopiesAtMostLenBytesAndStopsAtTheEndOfTheFile) {
    const struct { std::uint32_t magic, len; std::size_t body, copied; const char* out; } cases[] = {
        {APP, 100, 300, 100, "Found GDB image 2 of length = 100.\n"},
        {DIAG, 0xFFFFFFFF, 200000, 200008, "Found GDB image 2 of length = 4294967295.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const Bytes file = cat({header(c.magic, c.len, 1, 0), pattern(c.body, 11)});  // 24 + body bytes
        UniqueFile slot = file_with(file), gz(std::tmpfile());
        testing::internal::CaptureStdout();
        EXPECT_TRUE(copy_debugger_image(path_of(slot).c_str(), path_of(gz).c_str(), 2));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_TRUE(contents(gz.get()) == Bytes(&file[16], &file[16] + c.copied));
    }
}

}  // namespace
