// slotboot: the switch's boot-time image loader and rescue console.
// Takes no arguments; the serial console is its standard input and output.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "boot/boot_sequence.hpp"

// An exception nothing catches ends the loader with one line and abort().
// This replaces the C++ run-time's own handler, which names the exception's
// type through the demangler: some 50 KiB of the switch's program for a line
// that should never be printed.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    const char* what = "not a std::exception";
    if (const std::exception_ptr escaped = std::current_exception()) {
        try {
            std::rethrow_exception(escaped);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
    } else {
        what = "no exception";
    }
    std::fprintf(stderr, "slotboot: terminated: %s\n", what);
    std::abort();
}
}  // namespace __gnu_cxx

int main() { run_boot_sequence(); }
