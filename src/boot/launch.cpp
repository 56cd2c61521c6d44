// Application launch: unpack the archive, the compatibility question, the
// install script and env-setup, the shell offer, and the chosen launcher.
#include "boot/launch.hpp"

#include <cstdio>

#include "boot/boot_settings.hpp"
#include "boot/env_setup.hpp"
#include "boot/rescue_mode.hpp"
#include "console/keys.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"
#include "platform/switch_paths.hpp"
#include "platform/unique_file.hpp"

namespace {

constexpr const char* BACKTRACE_PATH = "/bin/backtrace";

// Unpacks the archive in /tmp and removes it; reboots when the shell that
// would do it cannot start.
void unpack_archive() {
    const std::string archive = app_archive_path();
    char command[256];
    std::snprintf(command, sizeof command, "cd /tmp \ntar mxzf %s \nrm %s\n", archive.c_str(),
                  archive.c_str());
    if (run_shell(command) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_system();
    }
}

// An archive without the distribution mark was likely made for another
// system: the operator may download a new image instead.
void offer_rescue_if_incompatible() {
    if (path_exists(distro_id_path().c_str())) return;
    std::puts("WARNING: Suspected incompatible application image detected during unpacking");
    std::fputs("Would you like to enter recovery mode to download a new image? y/N: ", stdout);
    std::fflush(stdout);
    const int key = read_key();
    if (key == 'y' || key == 'Y') enter_rescue_mode();
}

void install_diagnostics() {
    std::puts("install diags image");
    run_shell("mkdir -p /tmp/home/bin");
    run_shell("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
}

void run_install_script() {
    const std::string script = install_script_path();
    if (!path_exists(script.c_str())) return;
    std::puts("Running install script");
    run_shell(script.c_str());
    // The settings are taken only after the script has run, so they do not
    // reach it; they reach everything started from here on.
    const std::string settings = env_setup_path();
    if (path_exists(settings.c_str())) {
        UniqueFile env(std::fopen(settings.c_str(), "r"));
        if (env) apply_env_setup(env.get());
    }
}

[[noreturn]] void start_backtrace_launcher() {
    replace_process(BACKTRACE_PATH);
    std::fputs("Failed to start Application OS.\n", stderr);
    reboot_system();
}

[[noreturn]] void start_under_gdbserver() {
    char command[256];
    if (boot_settings.memchk) {
        std::snprintf(command, sizeof command,
                      "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d "
                      "/tmp/home/bin/mp.elf.strip\n",
                      static_cast<int>(boot_settings.gdb_port));
    } else {
        std::snprintf(command, sizeof command, "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                      static_cast<int>(boot_settings.gdb_port));
    }
    run_shell(command);
    reboot_system();
}

[[noreturn]] void start_under_gdb() {
    const std::string debugger = debugger_path();
    if (path_exists(debugger.c_str())) {
        std::puts("*** Launching under GDB ***");
        run_shell((debugger + " /tmp/home/bin/mp.elf.strip").c_str());
        reboot_system();
    }
    std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
    start_backtrace_launcher();
}

// The launcher the boot settings choose; the backtrace launcher by default.
[[noreturn]] void start_application() {
    if (boot_settings.gdbserver) start_under_gdbserver();
    if (boot_settings.gdb) start_under_gdb();
    if (boot_settings.memchk) {
        run_shell("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
        reboot_system();
    }
    start_backtrace_launcher();
}

}  // namespace

void launch_application(bool is_diagnostics) {
    device_io::wait_seconds(1);
    unpack_archive();
    offer_rescue_if_incompatible();
    close_i2c_buses();
    if (is_diagnostics) install_diagnostics();
    run_install_script();
    if (boot_settings.shell) {
        std::puts("Dropping into shell");
        run_shell("/bin/sh\n");
        std::puts("Dropping out of shell");
    }
    start_application();
}
