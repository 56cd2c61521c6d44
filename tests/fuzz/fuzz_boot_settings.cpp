// Fuzz target: the environment scan over arbitrary text.
#include <vector>

#include "boot/boot_settings.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(size + 1);  // and a NUL, no more: ASan sees a read past it
    std::copy(data, data + size, text.begin());
    BootSettings s;
    scan_boot_settings(text.data(), &s);
    FUZZ_CHECK(!s.second_attempt);
    FUZZ_CHECK(s.gdb_port == BootSettings{}.gdb_port ||
               std::strstr(text.data(), "gdbport=") != nullptr);
    return 0;
}
