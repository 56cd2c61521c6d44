// Fuzz target: the bundle installer over arbitrary bundles on the simulated flash. The first byte picks the
// slot (1, 2, or 0 to boot the download), whether it is given or the operator's answer, and the same-version
// test. What is left must agree with the outcome and the messages.
#include <sys/stat.h>

#include <filesystem>

#include "fuzz_support.hpp"
#include "image/bundle_installer.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"
#include "platform/switch_paths.hpp"

static const char* const PARTITIONS[] = {"uboot",  "ubootenv", "devicetree",
                                         "kernel", "rfs",      "rescue"};
static const std::string FILL(4096, 'Z');  // small partitions: images too big for them are in reach
static char scratch[] =
    "/dev/shm/slotboot-fuzz-XXXXXX";  // the run's files, in memory, removed at exit

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = ::mkdtemp(scratch) ? scratch : "/nonexistent";
    const auto slot_file = [](int slot) {
        return dir + "/user/images/image" + std::to_string(slot);
    };
    for (const char* name : PARTITIONS)
        fuzz::put_file(dir + "/" + name + ".bin", FILL);  // the board put back
    fuzz::put_file(dir + "/slot-register.bin", std::string(256, '\0'));
    ::unlink(slot_file(1).c_str());
    ::unlink(slot_file(2).c_str());
    ::unlink((dir + "/tmp/vantuimage.tar.gz").c_str());
    static const bool ready =
        std::atexit([] { std::filesystem::remove_all(scratch); }) == 0 &&
        ::setenv("PATH", dir.c_str(), 1) == 0 &&  // nothing of this host can run
        ::mkdir((dir + "/user").c_str(), 0755) == 0 && ::mkdir((dir + "/tmp").c_str(), 0755) == 0 &&
        (set_path_root_for_testing(dir), true) &&
        sim_board::configure({.flash_dir = dir,
                              .erase_size = "1024",
                              .slot_register = dir + "/slot-register.bin",
                              .time_scale = 0}) &&
        open_flash_partitions() == 1 && open_i2c_buses() == 0;
    if (!ready || size < 1) return 0;

    const int slot = data[0] % 3;
    const bool given = (data[0] & 4) && slot != 0;
    const std::string bundle = fuzz::text(data + 1, size - 1);
    fuzz::put_file(dir + "/bundle", bundle);
    std::fflush(stdout);
    FUZZ_CHECK(std::freopen((dir + "/out").c_str(), "w", stdout));
    int asked = 0;
    const InstallOutcome outcome =
        install_bundle((dir + "/bundle").c_str(), data[0] & 8, given ? slot : 0, [&] {
            ++asked;
            return slot;
        });
    const std::string out = fuzz::contents(stdout),
                      reg = fuzz::contents(dir + "/slot-register.bin");
    FUZZ_CHECK(asked <= (given ? 0 : 1));
    FUZZ_CHECK((outcome == InstallOutcome::installed) == out.ends_with("File processed\n"));
    FUZZ_CHECK(reg[SLOT_REG_BOOTED] == 0);  // no boot recorded

    // A direct boot leaves the payload of an application of the bundle as the archive.
    const bool boot = outcome == InstallOutcome::boot_download;
    FUZZ_CHECK(!boot || slot == 0);
    FUZZ_CHECK(!boot || bundle.find(fuzz::contents(app_archive_path())) != std::string::npos);
    FUZZ_CHECK(boot || ::access(app_archive_path().c_str(), F_OK) != 0);

    // A slot file written is a sound sub-image of the bundle, selected and announced; the other slot is untouched.
    bool changed = false;
    for (const int s : {1, 2}) {
        if (::access(slot_file(s).c_str(), F_OK) != 0) continue;
        const std::string image = fuzz::contents(slot_file(s));
        FUZZ_CHECK(s == slot);
        FUZZ_CHECK(fuzz::sound(image));
        FUZZ_CHECK(bundle.find(image) != std::string::npos);
        FUZZ_CHECK(out.find("updated succeeded\n") != std::string::npos);
        changed = true;
    }
    FUZZ_CHECK(reg[SLOT_REG_SELECTED] == (changed ? slot : 0));
    for (const char* name : PARTITIONS)
        changed = changed || fuzz::contents(dir + "/" + name + ".bin") != FILL;
    const bool failed = out.find("voiding") != out.npos || out.find("ailed") != out.npos ||
                        out.find("too big") != out.npos;
    FUZZ_CHECK(outcome != InstallOutcome::installed ||
               (changed && !failed));  // a step that failed says so
    FUZZ_CHECK(outcome != InstallOutcome::nothing_installed || !changed ||
               !out.ends_with("ERROR: No valid image found\n"));
    return 0;
}
