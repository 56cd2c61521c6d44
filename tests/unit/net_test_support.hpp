// Test fixtures for the network dialogues: a console fed from a pipe with
// its output captured, a private network namespace, and recording stand-ins
// for the network programs that the loader runs through the shell.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace net_test {

// Runs one dialogue with `input` as the keys typed on the console and keeps
// everything written to standard output. An alarm turns a dialogue that
// waits for more input than the test gave into a failed test, not a hang.
class Console {
public:
    explicit Console(const std::string& input) {
        std::fflush(stdout);
        saved_in_ = ::dup(0);
        saved_out_ = ::dup(1);
        int keys[2];
        if (::pipe(keys) != 0) std::abort();
        // The input is far below the pipe's capacity, so this never blocks.
        if (::write(keys[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            std::abort();
        ::close(keys[1]);
        ::dup2(keys[0], 0);
        ::close(keys[0]);
        std::snprintf(out_path_, sizeof out_path_, "/tmp/net_test_out.XXXXXX");
        const int out = ::mkstemp(out_path_);
        if (out < 0) std::abort();
        ::dup2(out, 1);
        ::close(out);
        ::alarm(20);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    ~Console() { restore(); }

    // Ends the session (once) and returns all that was written.
    const std::string& output() {
        restore();
        return output_;
    }

    // What remained unread of the input: a dialogue must stop reading where
    // its last answer ended.
    const std::string& unread() {
        restore();
        return unread_;
    }

private:
    void restore() {
        if (saved_out_ < 0) return;
        ::alarm(0);
        std::fflush(stdout);
        const int flags = ::fcntl(0, F_GETFL);
        ::fcntl(0, F_SETFL, flags | O_NONBLOCK);
        char buf[256];
        ssize_t n;
        while ((n = ::read(0, buf, sizeof buf)) > 0) unread_.append(buf, static_cast<std::size_t>(n));
        ::dup2(saved_out_, 1);
        ::dup2(saved_in_, 0);
        ::close(saved_out_);
        ::close(saved_in_);
        saved_out_ = saved_in_ = -1;
        std::ifstream file(out_path_, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        output_ = text.str();
        ::unlink(out_path_);
    }

    int saved_in_ = -1;
    int saved_out_ = -1;
    char out_path_[64] = {};
    std::string output_;
    std::string unread_;
};

// Runs a shell command line and returns its standard output.
inline std::string shell_output(const std::string& command) {
    std::string result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) result.append(buf, n);
    ::pclose(pipe);
    return result;
}

// Moves the whole test process into a network namespace of its own (with
// only a loopback device), so that the tests may create, configure and
// remove an "eth0" without touching the machine's interfaces. Needs root.
inline bool enter_private_network() {
    static const bool entered = ::unshare(CLONE_NEWNET) == 0;
    return entered;
}

// Moves the test process into a mount namespace of its own with a fresh,
// empty /tmp, so that the fixed download path can be used freely.
inline bool enter_private_tmp() {
    static const bool entered = [] {
        if (::unshare(CLONE_NEWNS) != 0) return false;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
        return ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=16m") == 0;
    }();
    return entered;
}

inline bool write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        if (!file) return false;
        file << text;
    }
    return ::chmod(path.c_str(), mode) == 0;
}

inline std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace net_test
