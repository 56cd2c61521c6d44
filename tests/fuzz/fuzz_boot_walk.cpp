// Fuzz target: the extent check, the walk over a slot file for its bootable
// sub-image, and the verified payload copy into the archive, over arbitrary
// slot files. Each result is compared with the header rules by definition.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "boot/boot_walk.hpp"
#include "fuzz_support.hpp"
#include "image/image_header.hpp"

namespace {

using fuzz::Bytes;

// The extent check against the layout table, for one header and what remains.
void check_extent(const std::uint8_t* first24, std::uint64_t remaining) {
    const SubImageExtent e = check_subimage_extent(first24, remaining);
    const fuzz::Header want = fuzz::read_header(first24);
    FUZZ_CHECK(e.type == want.type);
    FUZZ_CHECK(e.layout == want.layout);
    if (!want.valid) {
        FUZZ_CHECK(e.status == ExtentStatus::invalid);
        return;
    }
    FUZZ_CHECK(e.status != ExtentStatus::invalid);
    FUZZ_CHECK(e.header_length == want.h);
    FUZZ_CHECK(e.payload_length == want.p);
    FUZZ_CHECK(e.total_length == want.t);
    FUZZ_CHECK(e.status == (want.t <= remaining ? ExtentStatus::ok : ExtentStatus::truncated));
    if (e.status == ExtentStatus::ok) {
        // What every walker relies on: the header fits, the crc word is
        // inside, the walk moves forward, nothing wraps.
        FUZZ_CHECK(e.header_length >= 16);
        FUZZ_CHECK(e.total_length >= e.header_length);
        FUZZ_CHECK(e.total_length == std::uint64_t{e.header_length} + e.payload_length);
        FUZZ_CHECK(e.total_length <= remaining);
    }
}

// How the walk must end, worked out from the bytes alone.
struct Expected {
    BootWalkEnd end;
    std::uint64_t offset;  // of the last header examined
    fuzz::Header header;   // that header
    bool examined;         // at least one header was read
};

Expected expected_walk(const std::uint8_t* data, std::size_t size) {
    Expected x{BootWalkEnd::end_of_file, 0, {}, false};
    std::uint64_t offset = 0;
    std::size_t steps = 0;
    while (size - offset >= IMAGE_PROBE_SIZE) {
        FUZZ_CHECK(++steps <= size / 16 + 1);  // the oracle itself must end
        const fuzz::Header h = fuzz::read_header(data + offset);
        x.offset = offset;
        x.header = h;
        x.examined = true;
        const bool fits = h.valid && h.t <= size - offset;
        if (fuzz::bootable(h.type)) {
            x.end = fits ? BootWalkEnd::found : BootWalkEnd::bad_bootable;
            return x;
        }
        if (!h.valid) {
            x.end = BootWalkEnd::bad_header;
            return x;
        }
        if (!fits) return x;  // cut short: nothing follows
        offset += h.t;
    }
    return x;
}

// The archive copy: never more than P bytes; 1 only for a sound sub-image,
// and then exactly its payload; on 0 the archive is empty.
void check_copy(int image_fd, std::uint64_t start, const Bytes& file, std::uint32_t h, std::uint32_t p,
                std::uint32_t crc) {
    FUZZ_CHECK(::lseek(image_fd, static_cast<off_t>(start), SEEK_SET) == static_cast<off_t>(start));
    std::FILE* image = ::fdopen(::dup(image_fd), "rb");
    FUZZ_CHECK(image != nullptr);
    const int archive_fd = fuzz::memfd_with(nullptr, 0);
    std::FILE* archive = ::fdopen(::dup(archive_fd), "w+b");
    FUZZ_CHECK(archive != nullptr);

    const int result = copy_verified_payload(image, h, p, crc, archive);
    std::fclose(archive);
    std::fclose(image);
    const Bytes written = fuzz::fd_contents(archive_fd);
    ::close(archive_fd);

    const std::uint64_t total = std::uint64_t{h} + p;
    const bool whole = start <= file.size() && total <= file.size() - start && total >= 4;
    const bool sound = whole && fuzz::crc_by_definition(file.data() + start + 4, total - 4) == crc;
    FUZZ_CHECK(result == (sound ? 1 : 0));
    FUZZ_CHECK(written.size() <= p);
    if (result == 1) {
        FUZZ_CHECK(written.size() == p);
        FUZZ_CHECK(p == 0 || std::memcmp(written.data(), file.data() + start + h, p) == 0);
    } else {
        FUZZ_CHECK(written.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes file(data, data + size);

    // The extent check at every offset a walk could stand on.
    for (std::size_t at = 0; at + IMAGE_PROBE_SIZE <= size; at += 8) check_extent(data + at, size - at);

    const int fd = fuzz::memfd_with(data, size);
    std::FILE* slot = ::fdopen(::dup(fd), "rb");
    FUZZ_CHECK(slot != nullptr);

    std::uint32_t type = 0xDEADBEEF, h = 0xDEADBEEF, p = 0xDEADBEEF;
    std::uint8_t layout = 0xEE;
    std::uint8_t header[16];
    std::memset(header, 0xA5, sizeof header);
    BootWalkInfo info{};
    const int found = find_boot_subimage(slot, &type, &layout, &h, &p, header, &info);
    const Expected x = expected_walk(data, size);

    FUZZ_CHECK(found == (x.end == BootWalkEnd::found ? 1 : 0));
    FUZZ_CHECK(info.end == x.end);
    if (x.examined) {
        FUZZ_CHECK(info.offset == x.offset);
        FUZZ_CHECK(info.last_type == x.header.type);
        FUZZ_CHECK(type == x.header.type);
        FUZZ_CHECK(layout == x.header.layout);
    } else {
        FUZZ_CHECK(info.last_type == 0);
        FUZZ_CHECK(type == 0xDEADBEEF && layout == 0xEE);  // no header, outputs untouched
    }
    if (found) {
        FUZZ_CHECK(h == x.header.h && p == x.header.p);
        FUZZ_CHECK(std::memcmp(header, data + x.offset, 16) == 0);
        FUZZ_CHECK(ftello(slot) == static_cast<off_t>(x.offset));
        // The copy the slot boot makes next: from the walk's position, with
        // the header's own crc word.
        check_copy(fd, x.offset, file, h, p, fuzz::be32(data + x.offset));
    } else {
        for (std::uint8_t b : header) FUZZ_CHECK(b == 0xA5);  // written only when found
    }
    std::fclose(slot);

    // The copy with lengths and crc that need not describe anything in the
    // file: the last 13 bytes choose them and where to start.
    if (size >= 13) {
        const std::uint8_t* tail = data + size - 13;
        const std::uint64_t start = tail[0] % (size + 1);
        check_copy(fd, start, file, fuzz::be32(tail + 1), fuzz::be32(tail + 5) & 0x0003FFFFu,
                   fuzz::be32(tail + 9));
        // Both lengths large: the read must end at the file's end, not wrap.
        check_copy(fd, 0, file, 0xFFFFFFF0u | tail[1], 0xFFFFFFFFu - tail[2], fuzz::be32(tail + 9));
    }
    ::close(fd);
    return 0;
}
