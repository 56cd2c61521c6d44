// Benchmark of the bundle installer: a bundle of a 15 MiB root filesystem and
// a 256 MiB application installed on the simulated board, against cp of the
// same bytes into the partition file and the slot file.
//
// install-bench [--keep] [--app-mib N] [WORKDIR]
//
// --app-mib changes the application's size (256 MiB by default), to show that
// the installer's memory does not follow it.
//
// The installer runs in a process of its own (this program, started again
// with --install), so that its peak resident set is the installer's alone:
// the loader's own code, the simulated board behind the device seam, and
// nothing of the bundle that this driver generated. The download is left
// out on purpose: it is the same file whatever the installer does, and a
// serial transfer of 271 MiB would measure only the line.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/bundle_installer.hpp"
#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "image/install_plan.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/sim/sim_board.hpp"
#include "platform/switch_paths.hpp"

extern char** environ;

namespace {

constexpr std::uint32_t MiB = 1024 * 1024;
// The root filesystem at its limit, header included.
const std::uint32_t RFS_TOTAL = install_rule_of(IMAGE_TYPE_ROOTFS)->limit;
constexpr int ROUNDS = 3;
constexpr std::uint32_t SPARE = 0x10000;  // each partition is this much over its limit

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "install-bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Peak resident set of this process, from the kernel's high-water mark.
long peak_rss_kib() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

// --- the installer's side ----------------------------------------------------

int install_only(const std::string& work) {
    sim_board::Config config;
    config.flash_dir = work + "/flash";
    config.slot_register = work + "/slot-register.bin";
    config.time_scale = 0;
    if (!sim_board::configure(config)) die("sim configuration");
    open_i2c_buses();
    open_flash_partitions();
    set_path_root_for_testing(work + "/root");

    // The console output (progress) goes to a file, as it would go to the line.
    const int console =
        ::open((work + "/console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0 || ::dup2(console, 1) < 0) die("console log");
    // Slot 2 is given: the question is never asked.
    const bool installed = install_bundle((work + "/bundle.img").c_str(), false, 2,
                                          [] { return 2; }) == InstallOutcome::installed;
    std::fflush(stdout);
    std::fprintf(stderr, "%d %ld\n", installed ? 1 : 0, peak_rss_kib());
    return installed ? 0 : 1;
}

// --- the driver's side --------------------------------------------------------

// Writes one sub-image of `total` bytes with a pseudo-random payload, a
// megabyte at a time, computing its checksum on the way.
void write_image(const std::string& path, std::uint32_t type, std::uint32_t total,
                 std::uint64_t seed) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die(path);
    std::uint8_t header[16];
    encode_image_header(ImageHeader{0, total - 16, type, 0x01000000}, header);
    std::uint32_t crc = image_crc32(header + 4, 12, IMAGE_CRC_INIT);
    std::vector<std::uint8_t> chunk(MiB);
    std::uint64_t x = seed;
    for (std::uint32_t at = 16; at < total;) {
        const std::uint32_t n = std::min<std::uint32_t>(MiB, total - at);
        for (std::uint32_t i = 0; i < n; i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(chunk.data() + i, &x, std::min<std::uint32_t>(8, n - i));
        }
        crc = image_crc32(chunk.data(), n, crc);
        if (::pwrite(fd, chunk.data(), n, at) != static_cast<ssize_t>(n)) die(path);
        at += n;
    }
    store_be32(header, crc);
    if (::pwrite(fd, header, 16, 0) != 16 || ::close(fd) != 0) die(path);
}

void make_partitions(const std::string& dir) {
    run("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) {
        std::uint32_t size = SPARE;  // the environment partition has no limit of its own
        for (const InstallRule& rule : install_rules()) {
            if (static_cast<int>(rule.partition) == i && rule.size_message != nullptr)
                size += rule.limit;
        }
        const std::string path =
            dir + "/" + (FLASH_DEVICE_PATHS[i] + std::strlen(FLASH_DEVICE_PREFIX)) + ".bin";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, size) != 0 || ::close(fd) != 0) die(path);
    }
}

struct Install {
    double seconds;
    long peak_kib;
};

Install time_install(const char* self, const std::string& work) {
    make_partitions(work + "/flash");
    run("rm -rf '" + work + "/root' && mkdir -p '" + work + "/root/user'");
    const std::string result_path = work + "/install.result";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, result_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const std::string work_arg = work;
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("--install"),
                    const_cast<char*>(work_arg.c_str()), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, self, &actions, nullptr, argv, environ) != 0) die("spawn");
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = seconds_since(start);
    posix_spawn_file_actions_destroy(&actions);

    int result = 0;
    long kib = -1;
    std::FILE* f = std::fopen(result_path.c_str(), "r");
    if (f == nullptr || std::fscanf(f, "%d %ld", &result, &kib) != 2 || result != 1 ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "install-bench: the install failed; see %s/console.log\n",
                     work.c_str());
        std::exit(1);
    }
    std::fclose(f);
    // What was installed must be the bytes of the bundle.
    if (run("cmp -s -n " + std::to_string(RFS_TOTAL) + " '" + work + "/rfs.img' '" + work +
            "/flash/rfs.bin'") != 0 ||
        run("cmp -s '" + work + "/app.img' '" + work + "/root/user/images/image2'") != 0) {
        std::fprintf(stderr, "install-bench: installed bytes differ from the bundle\n");
        std::exit(1);
    }
    return {seconds, kib};
}

// The same bytes put in place by cp, and made durable as the installer
// makes the slot file durable.
double time_baseline(const std::string& work) {
    make_partitions(work + "/base");
    const auto start = std::chrono::steady_clock::now();
    const int rc =
        run("cp '" + work + "/rfs.img' '" + work + "/base/rfs.bin' && cp '" + work + "/app.img' '" +
            work + "/base/image2' && sync '" + work + "/base/rfs.bin' '" + work + "/base/image2'");
    const double seconds = seconds_since(start);
    if (rc != 0) {
        std::fprintf(stderr, "install-bench: baseline copy failed\n");
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--install") == 0) return install_only(argv[2]);

    bool keep = false;
    std::uint32_t app_mib = 256;
    std::string work;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else if (std::strcmp(argv[i], "--app-mib") == 0 && i + 1 < argc) {
            app_mib = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
            if (app_mib == 0 || app_mib > 4000) {
                std::fprintf(stderr, "install-bench: --app-mib takes 1 to 4000\n");
                return 2;
            }
        } else {
            work = argv[i];
        }
    }
    if (work.empty()) {
        char tmpl[] = "/tmp/install-bench.XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) die("work directory");
        work = tmpl;
    } else if (run("mkdir -p '" + work + "'") != 0) {
        die(work);
    }
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("/proc/self/exe");
    self[n] = '\0';

    std::printf("install-bench: making the bundle in %s\n", work.c_str());
    std::fflush(stdout);
    write_image(work + "/rfs.img", IMAGE_TYPE_ROOTFS, RFS_TOTAL, 0x9E3779B97F4A7C15ull);
    write_image(work + "/app.img", IMAGE_TYPE_APPLICATION, app_mib * MiB + 16,
                0xD1B54A32D192ED03ull);
    if (run("cat '" + work + "/rfs.img' '" + work + "/app.img' > '" + work + "/bundle.img'") != 0) {
        die("bundle");
    }

    // Alternate the two so that both meet the same state of the machine;
    // the best round of each counts.
    double install_s = 1e30;
    double baseline_s = 1e30;
    long peak_kib = 0;
    for (int round = 1; round <= ROUNDS; ++round) {
        const double b = time_baseline(work);
        const Install i = time_install(self, work);
        std::printf("round %d: install %.3f s (peak RSS %.1f MiB), baseline %.3f s\n", round,
                    i.seconds, static_cast<double>(i.peak_kib) / 1024.0, b);
        std::fflush(stdout);
        install_s = std::min(install_s, i.seconds);
        baseline_s = std::min(baseline_s, b);
        peak_kib = std::max(peak_kib, i.peak_kib);
    }
    if (!keep) run("rm -rf '" + work + "'");
    std::printf("install: 15 MiB rfs + %u MiB app, loader peak RSS %.1f MiB, install %.2f s, "
                "baseline %.2f s, ratio %.2f\n",
                app_mib, static_cast<double>(peak_kib) / 1024.0, install_s, baseline_s,
                install_s / baseline_s);
    return 0;
}
