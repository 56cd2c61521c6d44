// Fuzz target: the bundle installer on small simulated partitions. The first byte picks the slot
// (0: boot the download), whether it is given or answered, and the same-version test.
#include <filesystem>

#include "fuzz_support.hpp"
#include "image/bundle_installer.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"
#include "platform/switch_paths.hpp"

static const char* const PARTITIONS[] = {"uboot",  "ubootenv", "devicetree",
                                         "kernel", "rfs",      "rescue"};
static const std::string FILL(4096, 'Z');
static char scratch[] = "/dev/shm/slotboot-fuzz-XXXXXX";

// The board as every run finds it.
static void put_back(const std::string& dir) {
    for (const char* name : PARTITIONS) fuzz::put_file(dir + "/" + name + ".bin", FILL);
    fuzz::put_file(dir + "/slot-register.bin", std::string(256, '\0'));
    std::filesystem::remove(slot_file_path(1));
    std::filesystem::remove(slot_file_path(2));
    std::filesystem::remove(app_archive_path());
}

// The switch's files in memory, removed at exit; no program of this host can run.
static std::string set_up() {
    FUZZ_CHECK(::mkdtemp(scratch) != nullptr);
    std::atexit([] { std::filesystem::remove_all(scratch); });
    const std::string dir = scratch;
    ::setenv("PATH", scratch, 1);
    std::filesystem::create_directory(dir + "/user");
    std::filesystem::create_directory(dir + "/tmp");
    set_path_root_for_testing(dir);
    put_back(dir);
    FUZZ_CHECK(sim_board::configure({.flash_dir = dir,
                                     .erase_size = "1024",
                                     .slot_register = dir + "/slot-register.bin",
                                     .time_scale = 0}));
    FUZZ_CHECK(open_flash_partitions() == 1);
    FUZZ_CHECK(open_i2c_buses() == 0);
    return dir;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = set_up();
    put_back(dir);
    if (size < 1) return 0;
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
    const std::string out = fuzz::contents(stdout);
    const std::string reg = fuzz::contents(dir + "/slot-register.bin");
    FUZZ_CHECK(asked <= (given ? 0 : 1));
    FUZZ_CHECK((outcome == InstallOutcome::installed) == out.ends_with("File processed\n"));
    FUZZ_CHECK(reg[SLOT_REG_BOOTED] == 0);

    // A direct boot leaves an application's payload as the archive.
    const bool boot = outcome == InstallOutcome::boot_download;
    FUZZ_CHECK(!boot || slot == 0);
    FUZZ_CHECK(!boot || bundle.find(fuzz::contents(app_archive_path())) != std::string::npos);
    FUZZ_CHECK(boot || !std::filesystem::exists(app_archive_path()));

    // Only the slot chosen gets a file: a sound sub-image of the bundle.
    bool written = false;
    for (const int s : {1, 2}) {
        if (!std::filesystem::exists(slot_file_path(s))) continue;
        const std::string image = fuzz::contents(slot_file_path(s));
        FUZZ_CHECK(s == slot);
        FUZZ_CHECK(fuzz::sound(image));
        FUZZ_CHECK(bundle.find(image) != std::string::npos);
        written = true;
    }
    FUZZ_CHECK(reg[SLOT_REG_SELECTED] == (written ? slot : 0));
    for (const char* name : PARTITIONS)
        written = written || fuzz::contents(dir + "/" + name + ".bin") != FILL;
    FUZZ_CHECK(outcome != InstallOutcome::installed || written);
    return 0;
}
