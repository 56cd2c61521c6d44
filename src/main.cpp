// slotboot: the switch's boot-time image loader and rescue console.
// Takes no arguments; the serial console is its standard input and output.
#include "boot/boot_sequence.hpp"

int main() {
    run_boot_sequence();
}
