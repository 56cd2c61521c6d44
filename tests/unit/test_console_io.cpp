// The console's start: Ctrl-C cuts a blocking read short and sets the flag
// that take_break clears; standard output goes out line by line, even to a pipe.
#include "console/console_io.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(ConsoleIo, CtrlCCutsABlockingReadShortAndSetsTheFlag) {
    start_console();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pthread_t reader = pthread_self();
    std::atomic<bool> read_returned{false};
    // The interrupt comes while the read waits. A read restarted after it
    // would wait on: a key comes a second later to end it, the wrong way.
    std::thread operator_at_the_console([&] {
        std::this_thread::sleep_for(50ms);
        pthread_kill(reader, SIGINT);
        for (int i = 0; i < 100 && !read_returned; ++i) std::this_thread::sleep_for(10ms);
        if (!read_returned) {
            EXPECT_EQ(write(fds[1], "x", 1), 1);
        }
    });
    char byte = 0;
    const ssize_t n = read(fds[0], &byte, 1);
    const int error = errno;
    read_returned = true;
    operator_at_the_console.join();
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, EINTR);
    EXPECT_EQ(break_requested.load(), 1);
    EXPECT_TRUE(take_break());
    EXPECT_EQ(break_requested.load(), 0);
    EXPECT_FALSE(take_break());
}

// What stands in the pipe right now, without waiting.
std::string pending(int fd) {
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

TEST(ConsoleIo, StandardOutputIsLineBufferedOnAPipe) {
    std::fflush(stdout);
    const int saved = dup(1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    dup2(fds[1], 1);
    start_console();
    std::fputs("half a line", stdout);
    const std::string before_newline = pending(fds[0]);
    std::fputs(", then the rest\n", stdout);
    const std::string after_newline = pending(fds[0]);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(before_newline, "");
    EXPECT_EQ(after_newline, "half a line, then the rest\n");
}

}  // namespace
