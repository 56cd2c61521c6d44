// The console as a whole: output buffering, the Ctrl-C flag and its handler,
// and the progress display.
#include "console/console_io.hpp"

#include <signal.h>

#include <cstdio>

// Written by the signal handler with one store: it must never take a lock.
static_assert(std::atomic<std::uint8_t>::is_always_lock_free,
              "break_requested must be written from a signal handler");
std::atomic<std::uint8_t> break_requested{0};

namespace {

extern "C" void on_break(int) { break_requested.store(1, std::memory_order_relaxed); }

}  // namespace

void install_break_handler() {
    struct sigaction action {};
    action.sa_handler = on_break;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: Ctrl-C must cut a blocking console read short.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

void start_console() {
    // The console gets whole lines in order with standard error even when it
    // is not a terminal (a log, a pipe); prompts are flushed where they stand.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_break_handler();
}

bool take_break() {
    if (break_requested.load() == 0) return false;
    break_requested.store(0);
    return true;
}

void print_progress(unsigned percent) {
    std::printf("\b\b\b\b%3.3d%c", static_cast<int>(percent), '%');
    std::fflush(stdout);
}

void print_progress_done() { std::printf("\b\b\b\b100%c\n", '%'); }
