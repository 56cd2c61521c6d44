// The rescue sub-image check-and-stream, and the debugger copy.
#include "boot/rescue_image.hpp"

#include <cstring>

#include "test_support.hpp"

namespace {

using namespace unit;
constexpr std::uint32_t APP = IMAGE_TYPE_APPLICATION, DIAG = IMAGE_TYPE_DIAGNOSTICS, CHUNK = RESCUE_COPY_CHUNK;

// A partition in memory that fails its Nth read, and any read past its end or over a chunk.
struct Flash {
    Bytes bytes;
    int fail_read = 0, reads = 0;
    bool bad_read = false;
    static int read(void* context, std::uint32_t offset, std::uint32_t length, void* buffer) {
        auto* f = static_cast<Flash*>(context);
        f->bad_read = f->bad_read || std::uint64_t{offset} + length > f->bytes.size() || length > CHUNK;
        if (++f->reads == f->fail_read || f->bad_read) return -1;
        std::memcpy(buffer, f->bytes.data() + offset, length);
        return 0;
    }
};

TEST(StreamRescueImage, StreamsASoundPayloadAndLeavesTheArchiveEmptyOtherwise) {
    const auto partition = [](Bytes image, std::size_t size = 1 << 20) {
        image.resize(size, 0xFF);
        return image;
    };
    const Bytes app = subimage(APP, pattern(200000, 1));  // read as a probe and 4 chunks
    const Bytes diag = subimage(DIAG, pattern(3 * CHUNK + 17, 2), 2, 40);
    Bytes bad_crc = app;
    bad_crc.back() ^= 1;
    using enum RescueImageStatus;
    const struct { const char* name; Bytes part; RescueImageStatus status; std::uint32_t h = 0, t = 0;
                   int fail_read = 0; } cases[] = {
        {"layout 2", partition(diag), sound, 40, std::uint32_t(diag.size())},
        {"layout 3 filling the partition", subimage(APP, pattern(2 * CHUNK - 32, 3), 3, 32), sound, 32, 2 * CHUNK},
        {"erased", Bytes(1 << 20, 0xFF), not_found},
        {"no partition", {}, not_found},
        {"last payload byte changed", partition(bad_crc), corrupt},
        {"partition ends a byte inside the image", partition(app, app.size() - 1), corrupt},
        {"probe read fails", partition(app), corrupt, 0, 0, 1},
        {"last chunk read fails", partition(app), corrupt, 0, 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Flash flash{c.part, c.fail_read};
        UniqueFile archive = file_with(pattern(5000, 7));  // left from an earlier boot
        const RescueImage r = stream_rescue_image({Flash::read, &flash, c.part.size()}, archive.get());
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contents(archive.get()) == Bytes(c.part.begin() + c.h, c.part.begin() + c.t));
        EXPECT_FALSE(flash.bad_read);
    }
}

// The len bytes after the 16-byte header, or up to the end of the file.
TEST(CopyDebuggerImage, CopiesAtMostLenBytesAndStopsAtTheEndOfTheFile) {
    const struct { std::uint32_t magic, len; std::size_t body, copied; const char* out; } cases[] = {
        {APP, 100, 300, 100, "Found GDB image 2 of length = 100.\n"},
        {DIAG, 0xFFFFFFFF, 200000, 200008, "Found GDB image 2 of length = 4294967295.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const Bytes file = header(c.magic, c.len) + pattern(c.body, 11);  // 24 + body bytes
        UniqueFile slot = file_with(file), gz(std::tmpfile());
        Console console;
        EXPECT_EQ(copy_debugger_image(path_of(slot.get()).c_str(), path_of(gz.get()).c_str(), 2), 1);
        EXPECT_EQ(console.finish().out, c.out);
        EXPECT_TRUE(contents(gz.get()) == Bytes(&file[16], &file[16] + c.copied));
    }
}

}  // namespace
