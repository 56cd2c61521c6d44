// Helpers for unit tests on the simulated board: a scratch directory, a
// board with partition files in it, file contents, the bus log, and a
// capture of standard output.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/sim/sim_board.hpp"

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::string read_text(const std::string& path) {
    Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

// `size` bytes of a pattern that differs with `seed` and is never 0xFF.
inline Bytes pattern(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) % 251);
    return b;
}

// A directory under /tmp, removed with its contents at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/slotboot-test-XXXXXX";
        const char* made = ::mkdtemp(name);
        path_ = made != nullptr ? made : "";
        EXPECT_FALSE(path_.empty());
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string command = "rm -rf '" + path_ + "'";
            int status = std::system(command.c_str());
            (void)status;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A board in a scratch directory: flash/ for the partitions, a register
// file, a bus log, no waiting.
struct Board {
    TempDir dir;
    sim_board::Config config;

    Board() {
        std::string flash = dir.file("flash");
        EXPECT_EQ(::mkdir(flash.c_str(), 0755), 0);
        config.flash_dir = flash;
        config.slot_register = dir.file("slot-register.bin");
        config.bus_log = dir.file("bus.log");
        config.time_scale = 0;
    }
    ~Board() { sim_board::reset(); }

    std::string partition_file(const std::string& name) const { return config.flash_dir + "/" + name + ".bin"; }
    void set_partition(const std::string& name, const Bytes& data) const { write_file(partition_file(name), data); }
    Bytes partition(const std::string& name) const { return read_file(partition_file(name)); }

    bool apply() { return sim_board::configure(config); }

    std::vector<std::string> log_lines() const {
        std::vector<std::string> lines;
        std::istringstream in(read_text(config.bus_log));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    void clear_log() const { ::unlink(config.bus_log.c_str()); }
};

// Standard output (descriptor 1 and stdout) redirected into a file while the
// object lives; text() returns what was written so far.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/slotboot-stdout-XXXXXX";
        file_ = ::mkstemp(name);
        path_ = name;
        saved_ = ::dup(1);
        ::dup2(file_, 1);
    }
    ~StdoutCapture() {
        restore();
        ::close(file_);
        ::unlink(path_.c_str());
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() {
        std::fflush(stdout);
        return read_text(path_);
    }
    // Ends the capture and returns everything captured.
    std::string finish() {
        std::string t = text();
        restore();
        return t;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }
    int file_ = -1;
    int saved_ = -1;
    std::string path_;
};

}  // namespace sim_test
