// Helpers shared by the fuzz targets: the invariant check that keeps the
// input as a crash, files in memory and on disk, and what a sound image is.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"

#define FUZZ_CHECK(cond)                                                                           \
    ((cond)                                                                                        \
         ? (void)0                                                                                 \
         : (fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond), abort()))

namespace fuzz {

inline std::string text(const void* data, std::size_t size) {
    return {static_cast<const char*>(data), size};
}

// What the file at `path` or an open file holds (empty when there is none).
inline std::string contents(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
inline std::string contents(FILE* f) {
    return contents("/proc/self/fd/" + std::to_string((fflush(f), fileno(f))));
}
inline void put_file(const std::string& path, const std::string& s) {
    FUZZ_CHECK(std::ofstream(path, std::ios::binary)
                   .write(s.data(), static_cast<std::streamsize>(s.size()))
                   .good());
}

// An anonymous in-memory file holding `s`, positioned at its start.
inline std::FILE* mem_file(const std::string& s) {
    std::FILE* f = ::fdopen(::memfd_create("fuzz", MFD_CLOEXEC), "w+b");
    FUZZ_CHECK(f && std::fwrite(s.data(), 1, s.size(), f) == s.size() &&
               std::fseek(f, 0, SEEK_SET) == 0);
    return f;
}

// One or more sub-images with sound extents and checksums, filling the file.
inline bool sound(const std::string& file) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.data());
    bool ok = !file.empty();
    SubImageExtent e{};
    for (std::size_t at = 0, left = file.size(); ok && left > 0;
         at += e.total_length, left = file.size() - at) {
        ok = left >= IMAGE_PROBE_SIZE &&
             (e = check_subimage_extent(data + at, left)).status == ExtentStatus::ok &&
             image_crc32(data + at + 4, e.total_length - 4, IMAGE_CRC_INIT) == load_be32(data + at);
    }
    return ok;
}

}  // namespace fuzz
