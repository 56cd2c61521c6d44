// The program's spine: start-up, the boot of the selected slot and the
// fallback, the SIGINT flag and the reboot routine.
#pragma once
#include <atomic>
#include <cstdint>

// Set to 1 by the SIGINT handler; cleared only by the rescue menu.
extern std::atomic<std::uint8_t> break_requested;

void install_break_handler();
[[noreturn]] void reboot_system();

// Start-up and boot, in order. Never returns.
[[noreturn]] void run_boot_sequence();
