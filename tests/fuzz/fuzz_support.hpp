// Helpers shared by the fuzz targets: the invariant check that stops the run,
// the checksum and header rules by their definitions (independent oracles),
// in-memory files, and a scratch directory that goes away at exit.
#pragma once
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// An invariant that does not hold is a finding: say which and stop, so that
// libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(cond)                                                                    \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint32_t be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }

// The image checksum bit by bit, as defined: reflected 0xEDB88320, started
// from all ones, no final inversion.
inline std::uint32_t crc_by_definition(const std::uint8_t* p, std::size_t n) {
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

// What the first 24 bytes of a sub-image say, by the layout table, with the
// lengths widened so that nothing wraps.
struct Header {
    std::uint32_t type;
    int layout;
    std::uint64_t h;  // header length
    std::uint64_t p;  // payload length (may be "negative" in layout 3: then valid is false)
    std::uint64_t t;  // total length
    bool valid;       // lengths that describe a sub-image at all
};

inline Header read_header(const std::uint8_t* b) {
    Header r{};
    const std::uint32_t magic = be32(b + 8);
    const std::uint64_t len = be32(b + 4);
    r.type = magic & 0x7FFFFFFFu;
    if (be32(b + 16) == 0x48445233u) {
        r.layout = 3;
        r.h = be16(b + 22);
        r.t = len + 16;
        r.valid = r.h >= 16 && r.h <= r.t;
        r.p = r.valid ? r.t - r.h : 0;
    } else if (magic & 0x80000000u) {
        r.layout = 2;
        r.h = be16(b + 18);
        r.p = len;
        r.t = r.h + len;
        r.valid = r.h >= 16;
    } else {
        r.layout = 1;
        r.h = 16;
        r.p = len;
        r.t = 16 + len;
        r.valid = true;
    }
    r.valid = r.valid && r.t <= 0xFFFFFFFFull;
    return r;
}

inline bool bootable(std::uint32_t type) { return type == 0x014F5249u || type == 0x064F5249u; }

// An anonymous in-memory file holding `data`, positioned at 0.
inline int memfd_with(const std::uint8_t* data, std::size_t size) {
    const int fd = ::memfd_create("fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

inline Bytes fd_contents(int fd) {
    struct stat st {};
    FUZZ_CHECK(::fstat(fd, &st) == 0);
    Bytes out(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    return out;
}

inline Bytes file_contents(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    Bytes out = fd_contents(fd);
    ::close(fd);
    return out;
}

inline bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Replaces the whole content of `path` (created when missing).
inline void put_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}
inline void put_file(const std::string& path, const Bytes& data) { put_file(path, data.data(), data.size()); }

// A directory for the run's files, in memory when /dev/shm is there; it and
// its contents are removed when the process exits normally.
inline const std::string& scratch_dir() {
    static std::string dir;
    if (dir.empty()) {
        std::string tmpl = (file_exists("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/slotboot-fuzz-XXXXXX");
        FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
        dir = tmpl;
        std::atexit([] {
            const std::string command = "/bin/rm -rf '" + dir + "'";
            const int status = std::system(command.c_str());
            (void)status;
        });
    }
    return dir;
}

}  // namespace fuzz
