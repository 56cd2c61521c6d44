// Helpers for unit tests on the simulated board: a scratch directory, a board
// with its files in it, file contents, the bus log and captured stdout.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/sim/sim_board.hpp"

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline Bytes read_file(const std::string& path) { std::string t = read_text(path); return Bytes(t.begin(), t.end()); }
inline void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}
// `size` bytes of a pattern that differs with `seed` and is never 0xFF.
inline Bytes pattern(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) % 251);
    return b;
}

// A directory under /tmp, removed with its contents at the end.
struct TempDir {
    std::string dir;
    TempDir() {
        char name[] = "/tmp/slotboot-test-XXXXXX";
        EXPECT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(dir, ignored); }
    TempDir(TempDir&&) = delete;  // and so no copies either
    std::string file(const std::string& name) const { return dir + "/" + name; }
};

// A board in a scratch directory: flash/ for the partitions, a register
// file, a bus log, no waiting.
struct Board {
    TempDir dir;
    sim_board::Config config{.flash_dir = dir.file("flash"), .slot_register = dir.file("slot-register.bin"),
                             .bus_log = dir.file("bus.log"), .time_scale = 0, .faults = ""};
    Board() { EXPECT_TRUE(std::filesystem::create_directory(config.flash_dir)); }
    ~Board() { sim_board::reset(); }
    std::string partition_file(const std::string& name) const { return config.flash_dir + "/" + name + ".bin"; }
    void set_partition(const std::string& name, const Bytes& data) const { write_file(partition_file(name), data); }
    Bytes partition(const std::string& name) const { return read_file(partition_file(name)); }
    bool apply() { return sim_board::configure(config); }
    std::string bus_log() const { return read_text(config.bus_log); }
};

// Standard output (descriptor 1 and stdout) goes to a scratch file while the
// object lives; finish() ends the capture and returns what was written.
struct StdoutCapture {
    std::FILE* file = std::tmpfile();
    int saved = ::dup(1);
    StdoutCapture() { std::fflush(stdout); ::dup2(::fileno(file), 1); }
    ~StdoutCapture() { finish(); std::fclose(file); }
    StdoutCapture(StdoutCapture&&) = delete;  // and so no copies either
    std::string finish() {
        std::fflush(stdout);
        if (saved >= 0) { ::dup2(saved, 1); ::close(saved); saved = -1; }
        std::string t;
        char buf[4096];
        for (ssize_t n; (n = ::pread(::fileno(file), buf, sizeof buf, off_t(t.size()))) > 0;) t.append(buf, n);
        return t;
    }
};

}  // namespace sim_test
