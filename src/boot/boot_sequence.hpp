// The program's spine: start-up, then the boot of the selected slot and the
// fallback to the other one.
#pragma once

// Start-up and boot, in order. Never returns.
[[noreturn]] void run_boot_sequence();
