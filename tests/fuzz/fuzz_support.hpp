// Shared by the fuzz targets. FUZZ_CHECK aborts, so libFuzzer keeps the input as a crash.
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

// Empty when there is no file.
inline std::string contents(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
inline std::string contents(FILE* f) {
    std::fflush(f);
    return contents("/proc/self/fd/" + std::to_string(fileno(f)));
}

inline void put_file(const std::string& path, const std::string& s) {
    std::ofstream f(path, std::ios::binary);
    FUZZ_CHECK(f.write(s.data(), std::streamsize(s.size())).good());
}

// An in-memory file holding `s`, at its start.
inline std::FILE* mem_file(const std::string& s) {
    std::FILE* f = ::fdopen(::memfd_create("fuzz", MFD_CLOEXEC), "w+b");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(s.data(), 1, s.size(), f) == s.size());
    std::rewind(f);
    return f;
}

// One or more sub-images with sound extents and checksums, filling the file.
inline bool sound(const std::string& file) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.data());
    for (std::size_t at = 0; at < file.size();) {
        const std::size_t left = file.size() - at;
        if (left < IMAGE_PROBE_SIZE) return false;
        const SubImageExtent e = check_subimage_extent(data + at, left);
        if (e.status != ExtentStatus::ok) return false;
        const std::uint32_t crc = image_crc32(data + at + 4, e.total_length - 4, IMAGE_CRC_INIT);
        if (crc != load_be32(data + at)) return false;
        at += e.total_length;
    }
    return !file.empty();
}

}  // namespace fuzz
