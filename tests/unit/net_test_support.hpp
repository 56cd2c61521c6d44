// Test helpers for the network dialogues: a console fed from a pipe with its
// output captured, and recording stand-ins for the network programs.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace net_test {

// Runs `dialogue` with `keys` as the console's whole input and returns what
// it printed (at most a pipe's 64 KiB). A dialogue that never ends fills the
// pipe and blocks, and the alarm then fails the test instead of hanging it.
template <typename Dialogue>
std::string converse(const std::string& keys, Dialogue dialogue) {
    std::fflush(stdout);
    const int saved_in = ::dup(0), saved_out = ::dup(1);
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) std::abort();
    if (::write(in[1], keys.data(), keys.size()) != ssize_t(keys.size())) std::abort();
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    for (const int fd : {in[0], in[1], out[1]}) ::close(fd);
    ::alarm(20);
    dialogue();
    std::fflush(stdout);
    ::alarm(0);
    ::dup2(saved_in, 0);
    ::dup2(saved_out, 1);
    std::string printed;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) printed.append(buf, size_t(n));
    for (const int fd : {saved_in, saved_out, out[0]}) ::close(fd);
    return printed;
}

// Moves the test process into network and mount namespaces of its own (no
// eth0, a fresh tmpfs on /tmp) and puts stand-ins for ifconfig, route and tftp
// first on PATH: each prints its name and arguments, each in brackets, as one
// line to standard output, and does nothing else. Needs root.
inline bool enter_stand_in_world() {
    static const bool entered = [] {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=16m") != 0 ||
            ::mkdir("/tmp/bin", 0755) != 0)
            return false;
        for (const std::string tool : {"ifconfig", "route", "tftp"}) {
            std::ofstream("/tmp/bin/" + tool) << "#!/bin/sh\nprintf %s " << tool
                                              << "; for a; do printf ' [%s]' \"$a\"; done; echo\n";
            if (::chmod(("/tmp/bin/" + tool).c_str(), 0755) != 0) return false;
        }
        const char* path = std::getenv("PATH");
        const std::string search = "/tmp/bin:" + std::string(path ? path : "/usr/bin:/bin");
        return ::setenv("PATH", search.c_str(), 1) == 0;
    }();
    return entered;
}

}  // namespace net_test
