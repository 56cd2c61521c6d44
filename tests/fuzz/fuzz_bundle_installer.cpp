// Fuzz target: the bundle installer over arbitrary bundles on the simulated flash. The first byte picks the
// slot (1 or 2: a direct boot would replace the process), whether it is asked or given, and the same-version
// test. What is left must agree with the result and the messages.
#include <filesystem>

#include "fuzz_support.hpp"
#include "image/bundle_installer.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"

static const char* const PARTITIONS[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
static const std::string FILL(4096, 'Z');  // small partitions: images too big for them are in reach
static char scratch[] = "/dev/shm/slotboot-fuzz-XXXXXX";  // the run's files, in memory, removed at exit

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = ::mkdtemp(scratch) ? scratch : "/nonexistent";
    const auto slot_file = [](int slot) { return dir + "/images/image" + std::to_string(slot); };
    for (const char* name : PARTITIONS) fuzz::put_file(dir + "/" + name + ".bin", FILL);  // the board put back
    fuzz::put_file(dir + "/slot-register.bin", std::string(256, '\0'));
    ::unlink(slot_file(1).c_str());
    ::unlink(slot_file(2).c_str());
    static const bool ready = std::atexit([] { std::filesystem::remove_all(scratch); }) == 0 &&
                              ::setenv("PATH", dir.c_str(), 1) == 0 &&  // nothing of this host can run
                              sim_board::configure({.flash_dir = dir, .erase_size = "1024",
                                                    .slot_register = dir + "/slot-register.bin", .time_scale = 0}) &&
                              open_flash_partitions() == 1 && open_i2c_buses() == 0;
    if (!ready || size < 1) return 0;

    const int slot = (data[0] & 1) + 1;
    const std::string bundle = fuzz::text(data + 1, size - 1);
    fuzz::put_file(dir + "/bundle", bundle);
    fuzz::put_file(dir + "/answer", std::to_string(slot) + (data[0] & 4 ? " and more than the answer holds\n" : "\n"));
    std::fflush(stdout);
    FUZZ_CHECK(std::freopen((dir + "/answer").c_str(), "r", stdin));
    FUZZ_CHECK(std::freopen((dir + "/out").c_str(), "w", stdout));
    set_slot_directory_for_testing((dir + "/images").c_str());
    const int result = install_bundle((dir + "/bundle").c_str(), data[0] & 8, data[0] & 2 ? slot : 0);
    const std::string out = fuzz::contents(stdout), reg = fuzz::contents(dir + "/slot-register.bin");
    FUZZ_CHECK(result == out.ends_with("File processed\n"));
    FUZZ_CHECK(reg[SLOT_REG_BOOTED] == 0);  // no boot recorded

    // A slot file written is a sound sub-image of the bundle, selected and announced; the other slot is untouched.
    const std::string image = fuzz::contents(slot_file(slot));
    bool changed = ::access(slot_file(slot).c_str(), F_OK) == 0;
    FUZZ_CHECK(::access(slot_file(3 - slot).c_str(), F_OK) != 0);
    FUZZ_CHECK(reg[SLOT_REG_SELECTED] == (changed ? slot : 0));
    FUZZ_CHECK(!changed || (fuzz::sound(image) && bundle.find(image) != std::string::npos));
    FUZZ_CHECK(!changed || out.find("updated succeeded\n") != std::string::npos);
    for (const char* name : PARTITIONS) changed = changed || fuzz::contents(dir + "/" + name + ".bin") != FILL;
    const bool failed = out.find("voiding") != out.npos || out.find("ailed") != out.npos || out.find("too big") != out.npos;
    FUZZ_CHECK(result == 0 || (changed && !failed));  // a step that failed says so
    FUZZ_CHECK(result == 1 || !changed || !out.ends_with("ERROR: No valid image found\n"));
    return 0;
}
