// What the unit tests share.
#pragma once
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "platform/sim/sim_board.hpp"
#include "platform/switch_paths.hpp"
#include "platform/unique_file.hpp"

namespace unit {

using Bytes = std::vector<std::uint8_t>;

// `n` bytes that differ with `seed` and are never 0xFF.
inline Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) % 251);
    return b;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline Bytes read_file(const std::string& path) {
    const std::string t = read_text(path);
    return {t.begin(), t.end()};
}

template <typename Data>
void write_file(const std::string& path, const Data& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// `b` with the 32-bit word at `at` set to `v` and its CRC made right again.
inline Bytes resealed(Bytes b, std::size_t at, std::uint32_t v) {
    store_be32(&b[at], v);
    store_be32(b.data(), image_crc32(b.data() + 4, b.size() - 4, IMAGE_CRC_INIT));
    return b;
}

// The first 24 bytes of a sub-image, zero but for len, magic and the header length h.
inline Bytes header(std::uint32_t magic, std::uint32_t len, int layout = 1, std::uint16_t h = 16) {
    Bytes b(24, 0);
    store_be32(&b[4], len);
    store_be32(&b[8], layout == 2 ? magic | IMAGE_EXTENDED_FLAG : magic);
    if (layout == 2) store_be16(&b[18], h);
    if (layout == 3) {
        store_be32(&b[16], IMAGE_HDR3_WORD);
        store_be16(&b[22], h);
    }
    return b;
}

// A sound sub-image: header (h bytes; 16 in layout 1), payload, CRC.
inline Bytes subimage(std::uint32_t type, const Bytes& payload, int layout = 1,
                      std::uint16_t h = 16) {
    const std::uint32_t len =
        static_cast<std::uint32_t>(payload.size()) + (layout == 3 ? h - 16u : 0u);
    Bytes b = header(type, len, layout, h);
    b.resize(layout == 1 ? 16 : h);
    return resealed(b + payload, 12, 0x01020304);  // the id word
}

inline UniqueFile file_with(const Bytes& bytes) {
    UniqueFile f(std::tmpfile());
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    std::rewind(f.get());
    return f;
}

inline std::string path_of(std::FILE* f) {
    std::fflush(f);
    return "/proc/self/fd/" + std::to_string(fileno(f));
}

inline Bytes contents(std::FILE* f) { return read_file(path_of(f)); }

struct TempDir {
    std::string dir = [] {
        char name[] = "/tmp/slotboot-test-XXXXXX";
        EXPECT_NE(::mkdtemp(name), nullptr);
        return std::string(name);
    }();
    TempDir() = default;
    TempDir(TempDir&&) = delete;
    ~TempDir() { std::filesystem::remove_all(dir); }
    std::string file(const std::string& name) const { return dir + "/" + name; }
};

// A simulated board in a scratch directory.
struct Board {
    TempDir dir;
    sim_board::Config config{.flash_dir = dir.file("flash"),
                             .slot_register = dir.file("slot-register.bin"),
                             .bus_log = dir.file("bus.log"),
                             .time_scale = 0,
                             .faults = ""};
    explicit Board(const std::string& faults = "") {
        config.faults = faults;
        std::filesystem::create_directory(config.flash_dir);
    }
    Board(Board&&) = delete;
    ~Board() {
        sim_board::reset();
        set_path_root_for_testing("");
    }
    // The switch's files (user/images, tmp) under the board's directory.
    void hold_switch_files() const {
        set_path_root_for_testing(dir.dir);
        std::filesystem::create_directories(dir.file("user/images"));
        std::filesystem::create_directory(dir.file("tmp"));
    }
    std::string partition_file(const std::string& name) const {
        return config.flash_dir + "/" + name + ".bin";
    }
    template <typename Data>
    void put(const std::string& name, const Data& data) const {
        write_file(partition_file(name), data);
    }
    Bytes partition(const std::string& name) const { return read_file(partition_file(name)); }
    void apply() const { EXPECT_TRUE(sim_board::configure(config)); }
    std::string log() const { return read_text(config.bus_log); }
};

struct Printed {
    std::string out, err;
};

// While it lives, standard input reads `keys` then ends; standard output and error go to files
// of their own. The alarm stops a dialogue that never ends.
struct Console {
    UniqueFile out{std::tmpfile()}, err{std::tmpfile()};
    int saved[3] = {::dup(0), ::dup(1), ::dup(2)};

    explicit Console(const std::string& keys = "") {
        UniqueFile in(std::tmpfile());
        std::fwrite(keys.data(), 1, keys.size(), in.get());
        std::fflush(nullptr);
        EXPECT_NE(std::freopen(path_of(in.get()).c_str(), "r", stdin), nullptr);
        ::dup2(fileno(out.get()), 1);
        ::dup2(fileno(err.get()), 2);
        ::alarm(20);
    }
    Console(Console&&) = delete;
    ~Console() { finish(); }

    Printed finish() {
        std::fflush(nullptr);
        ::alarm(0);
        for (int fd = 0; fd < 3; ++fd) {
            if (saved[fd] < 0) continue;
            ::dup2(saved[fd], fd);
            ::close(saved[fd]);
            saved[fd] = -1;
        }
        std::clearerr(stdin);
        return {read_text(path_of(out.get())), read_text(path_of(err.get()))};
    }
};

// The stand-in /usr/bin/NAME prints "NAME [arg]..." as one line, then runs `then`.
inline void stand_in(const std::string& name, const std::string& then = "") {
    const std::string path = "/usr/bin/" + name;
    std::ofstream(path) << "#!/bin/sh\nprintf %s " << name
                        << "; for a; do printf ' [%s]' \"$a\"; done; echo\n"
                        << then << "\n";
    ::chmod(path.c_str(), 0755);
}

// Own network and mount namespaces (needs root): no eth0, a fresh /tmp, and stand-ins layered
// over /usr/bin, the only folder on PATH.
inline bool enter_stand_in_world() {
    static const bool entered = [] {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=16m") != 0 ||
            ::mkdir("/tmp/bin", 0755) != 0 || ::mkdir("/tmp/work", 0755) != 0 ||
            ::mount("overlay", "/usr/bin", "overlay", 0,
                    "lowerdir=/usr/bin,upperdir=/tmp/bin,workdir=/tmp/work") != 0)
            return false;
        for (const char* tool :
             {"ifconfig", "route", "tftp", "dhclient", "reboot", "mount", "find"})
            stand_in(tool);
        return ::setenv("PATH", "/usr/bin", 1) == 0;
    }();
    return entered;
}

}  // namespace unit
