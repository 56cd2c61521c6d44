// Fuzz target: the bundle installer over arbitrary bundles on the simulated flash. The first
// byte picks the slot answer (1 or 2, so the outcome is never a direct boot), whether it is
// asked, and the same-version test. What is left must agree with the result and the messages.
#include <sys/stat.h>

#include <filesystem>

#include "fuzz_support.hpp"
#include "image/bundle_installer.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"
#include "platform/switch_paths.hpp"
#include "rescue/install_download.hpp"

static const char* const PARTITIONS[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
static const std::string FILL(4096, 'Z');  // small partitions: images too big for them are in reach
static char scratch[] = "/dev/shm/slotboot-fuzz-XXXXXX";  // the run's files, in memory, removed at exit

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = ::mkdtemp(scratch) ? scratch : "/nonexistent";
    const auto slot_file = [](int slot) { return dir + "/user/images/image" + std::to_string(slot); };
    for (const char* name : PARTITIONS) fuzz::put_file(dir + "/" + name + ".bin", FILL);  // the board put back
    fuzz::put_file(dir + "/slot-register.bin", std::string(256, '\0'));
    ::unlink(slot_file(1).c_str()), ::unlink(slot_file(2).c_str());
    static const bool ready = std::atexit([] { std::error_code e; std::filesystem::remove_all(scratch, e); }) == 0 &&
                              ::setenv("PATH", dir.c_str(), 1) == 0 &&  // nothing of this host can run
                              ::mkdir((dir + "/user").c_str(), 0755) == 0 &&
                              (set_path_root_for_testing(dir), true) &&
                              sim_board::configure({.flash_dir = dir, .erase_size = "1024",
                                                    .slot_register = dir + "/slot-register.bin", .time_scale = 0}) &&
                              open_flash_partitions() == 1 && open_i2c_buses() == 0;
    if (!ready || size < 1) return 0;

    const int slot = (data[0] & 1) + 1;
    const std::string bundle = fuzz::text(data + 1, size - 1), answer = dir + "/answer";
    fuzz::put_file(dir + "/bundle", bundle);
    fuzz::put_file(answer, std::to_string(slot) + (data[0] & 4 ? " and more than the answer holds\n" : "\n"));
    std::fflush(stdout);
    FUZZ_CHECK(std::freopen(answer.c_str(), "r", stdin) && std::freopen((dir + "/out").c_str(), "w", stdout));
    const InstallOutcome outcome =
        install_bundle((dir + "/bundle").c_str(), data[0] & 8, data[0] & 2 ? slot : 0, ask_install_slot);
    FUZZ_CHECK(outcome != InstallOutcome::boot_download);
    const bool result = outcome == InstallOutcome::installed;
    const std::string out = fuzz::contents(stdout), reg = fuzz::contents(dir + "/slot-register.bin");
    FUZZ_CHECK(result == out.ends_with("File processed\n") && reg.size() == 256 && reg[0x3A] == 0);  // no boot noted

    // A slot file written is a sound sub-image of the bundle, selected and announced.
    const std::string image = fuzz::contents(slot_file(slot));
    bool changed = ::access(slot_file(slot).c_str(), F_OK) == 0;
    FUZZ_CHECK(::access(slot_file(3 - slot).c_str(), F_OK) != 0 && reg[0] == (changed ? slot : 0));
    FUZZ_CHECK(!changed || (fuzz::sound(image) && bundle.find(image) != bundle.npos &&
                            out.find("updated succeeded\n") != out.npos));
    for (const char* name : PARTITIONS) changed = changed || fuzz::contents(dir + "/" + name + ".bin") != FILL;
    const bool failed =  // a step that failed says so
        out.find("voiding") != out.npos || out.find("ailed") != out.npos || out.find("too big") != out.npos;
    FUZZ_CHECK(result ? changed && !failed : !changed || !out.ends_with("ERROR: No valid image found\n"));
    return 0;
}
