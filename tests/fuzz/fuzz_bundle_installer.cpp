// Fuzz target: the bundle installer over arbitrary bundles, on the simulated
// flash in a scratch directory. The first input byte chooses the slot answer
// (always 1 or 2: a direct boot would hand over to the launch, which runs
// programs and replaces the process) and the same-version test; the rest is
// the bundle. Afterwards the
// result, every partition, the slot files and the selected-slot register must
// be what the bundle, walked by the header rules, says they should be.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "image/bundle_installer.hpp"
#include "image/image_header.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"

namespace {

using fuzz::Bytes;

constexpr std::uint32_t ERASE_SIZE = 1024;

struct Partition {
    const char* name;
    std::uint32_t size;
    std::uint32_t type;        // the image type written there, 0 for none
    std::uint32_t limit;       // the type's size limit
    bool payload_only;         // boot loader: the payload, measured by len
};

// Small partitions, so that images larger than the partition (a failed
// flash write) are within reach of small inputs as well as images that fit.
Partition PARTITIONS[] = {
    {"uboot", 8 * ERASE_SIZE, IMAGE_TYPE_BOOTLOADER, 0x80000, true},
    {"ubootenv", 4 * ERASE_SIZE, 0, 0, false},
    {"devicetree", 2 * ERASE_SIZE, IMAGE_TYPE_DEVICETREE, 0x40000, false},
    {"kernel", 16 * ERASE_SIZE, IMAGE_TYPE_KERNEL, 0x300000, false},
    {"rfs", 12 * ERASE_SIZE, IMAGE_TYPE_ROOTFS, 0xF00000, false},
    {"rescue", 20 * ERASE_SIZE, IMAGE_TYPE_DIAGNOSTICS, 0xA00000, false},
};
constexpr int PARTITION_COUNT = sizeof PARTITIONS / sizeof PARTITIONS[0];

std::string dir;
Bytes initial[PARTITION_COUNT];  // what every partition holds before an install
int output_fd = -1;              // standard output goes here

std::string partition_path(int i) { return dir + "/flash/" + PARTITIONS[i].name + ".bin"; }
std::string slot_path(int slot) { return dir + "/images/image" + std::to_string(slot); }

void set_up() {
    dir = fuzz::scratch_dir();
    FUZZ_CHECK(::mkdir((dir + "/flash").c_str(), 0755) == 0);
    FUZZ_CHECK(::mkdir((dir + "/bin").c_str(), 0755) == 0);
    for (int i = 0; i < PARTITION_COUNT; ++i) {
        initial[i].resize(PARTITIONS[i].size);
        for (std::size_t k = 0; k < initial[i].size(); ++k)
            initial[i][k] = static_cast<std::uint8_t>((k * 13 + static_cast<std::size_t>(i) * 7) % 251);
        fuzz::put_file(partition_path(i), initial[i]);
    }
    // Nothing the installer might run can reach a program of this host.
    ::setenv("PATH", (dir + "/bin").c_str(), 1);
    sim_board::Config c;
    c.flash_dir = dir + "/flash";
    c.erase_size = std::to_string(ERASE_SIZE);
    c.slot_register = dir + "/slot-register.bin";
    c.time_scale = 0;
    FUZZ_CHECK(sim_board::configure(c));
    open_flash_partitions();
    FUZZ_CHECK(open_i2c_buses() == 0);
    set_slot_directory_for_testing((dir + "/images").c_str());
    // The installer talks a lot; keep it for the checks below.
    output_fd = fuzz::memfd_with(nullptr, 0);
    std::fflush(stdout);
    FUZZ_CHECK(::dup2(output_fd, 1) == 1);
}

// Puts the board back as set_up left it: partitions, register, no slot files.
void reset_board() {
    for (int i = 0; i < PARTITION_COUNT; ++i) fuzz::put_file(partition_path(i), initial[i]);
    const std::uint8_t zeros[256] = {};
    fuzz::put_file(dir + "/slot-register.bin", zeros, sizeof zeros);
    ::unlink(slot_path(1).c_str());
    ::unlink(slot_path(2).c_str());
    ::rmdir((dir + "/images").c_str());
    std::fflush(stdout);
    FUZZ_CHECK(::ftruncate(output_fd, 0) == 0);
    FUZZ_CHECK(::lseek(1, 0, SEEK_SET) == 0);
}

// What an install must leave behind.
struct Expected {
    int result = 0;
    bool walked_to_end = false;  // "File processed" was reached
    Bytes partitions[PARTITION_COUNT];
    bool slot_written[3] = {};
    Bytes slot_file[3];
    int selected = 0;  // register value, 0 when never written
    std::size_t skipped = 0;  // sub-images left out by the same-version test
};

// The same-version test by its rule, on what the model holds so far: the
// installed header of a flash type is 16 bytes at the start of its partition
// (at 240 for the boot loader, whose crc word does not count); that of an
// application is the first 16 bytes of the slot file, when there is one.
bool same_as_modelled(const Expected& x, const std::uint8_t* header, int target, int slot) {
    std::uint8_t installed[16] = {};
    std::size_t skip = 0;
    if (target >= 0) {
        const std::size_t at = PARTITIONS[target].payload_only ? 240 : 0;
        std::memcpy(installed, x.partitions[target].data() + at, 16);
        if (PARTITIONS[target].payload_only) skip = 4;
    } else {
        if (!x.slot_written[slot]) return false;
        const Bytes& f = x.slot_file[slot];
        std::memcpy(installed, f.data(), f.size() < 16 ? f.size() : 16);
    }
    return std::memcmp(installed + skip, header + skip, 16 - skip) == 0;
}

Expected expected_install(const std::uint8_t* bundle, std::size_t size, int slot, bool skip_same) {
    Expected x;
    for (int i = 0; i < PARTITION_COUNT; ++i) x.partitions[i] = initial[i];
    bool installed = false;
    std::uint64_t offset = 0;
    while (size - offset >= IMAGE_PROBE_SIZE) {
        const std::uint8_t* at = bundle + offset;
        const fuzz::Header h = fuzz::read_header(at);
        const bool fits = h.valid && h.t <= size - offset;
        const bool sound = fits && fuzz::crc_by_definition(at + 4, h.t - 4) == fuzz::be32(at);
        int target = -1;
        for (int i = 0; i < PARTITION_COUNT; ++i) {
            if (PARTITIONS[i].type != 0 && PARTITIONS[i].type == h.type) target = i;
        }
        if (target >= 0) {
            const Partition& part = PARTITIONS[target];
            if (!sound) return x;
            const std::uint64_t measured = part.payload_only ? fuzz::be32(at + 4) : h.t;
            if (measured > part.limit) return x;
            const std::uint8_t* data = part.payload_only ? at + h.h : at;
            const std::uint64_t length = part.payload_only ? h.p : h.t;
            if (skip_same && same_as_modelled(x, at, target, slot)) {
                ++x.skipped;
                offset += h.t;
                continue;
            }
            if (length > part.size) return x;  // the flash write fails
            std::memcpy(x.partitions[target].data(), data, length);
            installed = true;
        } else if (h.type == IMAGE_TYPE_APPLICATION) {
            if (!sound) return x;
            if (skip_same && same_as_modelled(x, at, -1, slot)) {
                ++x.skipped;
                offset += h.t;
                continue;
            }
            x.slot_written[slot] = true;
            x.slot_file[slot].assign(at, at + h.t);
            x.selected = slot;
            installed = true;
        } else if (!fits) {
            break;  // nothing more to walk
        }
        offset += h.t;
    }
    x.walked_to_end = true;
    x.result = installed ? 1 : 0;
    return x;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (set_up(), true);
    (void)ready;
    if (size < 1) return 0;
    reset_board();

    const int slot = (data[0] & 1) ? 2 : 1;
    const bool ask = (data[0] & 2) == 0;
    const bool skip_same = (data[0] & 8) != 0;
    // The answer's first character decides; what follows it does not.
    const std::string answer = std::string(1, static_cast<char>('0' + slot)) +
                               ((data[0] & 4) ? " and a line longer than the answer buffer holds\n" : "\n");
    const std::string answer_path = dir + "/answer";
    fuzz::put_file(answer_path, reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
    FUZZ_CHECK(std::freopen(answer_path.c_str(), "r", stdin) != nullptr);

    const std::uint8_t* bundle = data + 1;
    const std::size_t bundle_size = size - 1;
    const std::string bundle_path = dir + "/bundle";
    fuzz::put_file(bundle_path, bundle, bundle_size);

    const int result = install_bundle(bundle_path.c_str(), skip_same, ask ? 0 : slot);
    std::fflush(stdout);
    const Bytes printed = fuzz::fd_contents(output_fd);
    const std::string out(printed.begin(), printed.end());

    const Expected x = expected_install(bundle, bundle_size, slot, skip_same);
    FUZZ_CHECK(result == x.result);
    for (int i = 0; i < PARTITION_COUNT; ++i) FUZZ_CHECK(fuzz::file_contents(partition_path(i)) == x.partitions[i]);
    for (int s = 1; s <= 2; ++s) {
        FUZZ_CHECK(fuzz::file_exists(slot_path(s)) == x.slot_written[s]);
        if (x.slot_written[s]) FUZZ_CHECK(fuzz::file_contents(slot_path(s)) == x.slot_file[s]);
    }
    const Bytes reg = fuzz::file_contents(dir + "/slot-register.bin");
    FUZZ_CHECK(reg.size() == 256);
    FUZZ_CHECK(reg[0] == x.selected);
    FUZZ_CHECK(reg[0x3A] == 0);  // an install never records a boot

    // What the operator is told agrees with the result.
    FUZZ_CHECK(out.rfind("\nExtracting images ... Do *NOT* power cycle the switch.\n", 0) == 0);
    if (x.result == 1) {
        FUZZ_CHECK(ends_with(out, "File processed\n"));
    } else if (x.walked_to_end) {
        FUZZ_CHECK(ends_with(out, "File processed\nERROR: No valid image found\n"));
    } else {
        FUZZ_CHECK(out.find("File processed") == std::string::npos);
    }
    FUZZ_CHECK(out.find("Booting downloaded image") == std::string::npos);
    std::size_t skips = 0;
    for (std::size_t at = out.find("same version as existing image. Skipping update..."); at != std::string::npos;
         at = out.find("same version as existing image. Skipping update...", at + 1)) {
        ++skips;
    }
    FUZZ_CHECK(skips == x.skipped);
    if (x.slot_written[slot]) {
        FUZZ_CHECK(out.find("Image" + std::to_string(slot) + " updated succeeded\n") != std::string::npos);
    }
    return 0;
}
