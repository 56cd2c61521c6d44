// The console as a whole: its output buffering, the Ctrl-C flag with its
// handler, and the progress display of long writes.
#pragma once
#include <atomic>
#include <cstdint>

// Set to 1 by the SIGINT handler; cleared only by the rescue menu.
extern std::atomic<std::uint8_t> break_requested;

// Installs the SIGINT handler, without automatic restart, so that Ctrl-C
// cuts a blocking console read short.
void install_break_handler();

// Line-buffers standard output and installs the SIGINT handler: what the
// loader needs of its console before it prints anything.
void start_console();

// Clears the Ctrl-C flag; says whether it was set.
bool take_break();

// The progress display: a three-digit percentage overwritten in place
// ("\b\b\b\b%3.3d%"), flushed at once, and its closing "\b\b\b\b100%\n".
void print_progress(unsigned percent);
void print_progress_done();
