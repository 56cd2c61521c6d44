// Application launch: unpack the archive, the compatibility question, the
// install script and env-setup, the shell offer, and the chosen launcher.
#include "boot/launch.hpp"

#include <cstdio>

#include "boot/boot_settings.hpp"
#include "boot/env_setup.hpp"
#include "boot/slot_boot.hpp"
#include "console/keys.hpp"
#include "console/rescue_menu.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"
#include "platform/unique_file.hpp"

namespace {

constexpr const char* DISTRO_ID_PATH = "/tmp/home/bin/distro-id";
constexpr const char* INSTALL_SCRIPT_PATH = "/tmp/home/bin/install.sh";
constexpr const char* DEBUGGER_PATH = "/tmp/gdb";
constexpr const char* BACKTRACE_PATH = "/bin/backtrace";

[[noreturn]] void start_backtrace_launcher() {
    replace_process(BACKTRACE_PATH);
    std::fputs("Failed to start Application OS.\n", stderr);
    reboot_system();
}

}  // namespace

void launch_application(bool is_diagnostics) {
    char command[256];

    device_io::wait_seconds(1);

    std::snprintf(command, sizeof command, "cd /tmp \ntar mxzf %s \nrm %s\n", APP_ARCHIVE_PATH,
                  APP_ARCHIVE_PATH);
    if (run_shell(command) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_system();
    }

    if (!path_exists(DISTRO_ID_PATH)) {
        std::puts("WARNING: Suspected incompatible application image detected during unpacking");
        std::fputs("Would you like to enter recovery mode to download a new image? y/N: ", stdout);
        std::fflush(stdout);
        const int key = read_key();
        if (key == 'y' || key == 'Y') rescue_menu();
    }

    close_i2c_buses();

    if (is_diagnostics) {
        std::puts("install diags image");
        run_shell("mkdir -p /tmp/home/bin");
        run_shell("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }

    if (path_exists(INSTALL_SCRIPT_PATH)) {
        std::puts("Running install script");
        run_shell(INSTALL_SCRIPT_PATH);
        // The settings are taken only after the script has run, so they do
        // not reach it; they reach everything started from here on.
        if (path_exists(ENV_SETUP_PATH)) {
            UniqueFile env(std::fopen(ENV_SETUP_PATH, "r"));
            if (env) apply_env_setup(env.get());
        }
    }

    if (boot_settings.shell) {
        std::puts("Dropping into shell");
        run_shell("/bin/sh\n");
        std::puts("Dropping out of shell");
    }

    if (boot_settings.gdbserver) {
        if (boot_settings.memchk) {
            std::snprintf(command, sizeof command,
                          "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d "
                          "/tmp/home/bin/mp.elf.strip\n",
                          static_cast<int>(boot_settings.gdb_port));
        } else {
            std::snprintf(command, sizeof command,
                          "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                          static_cast<int>(boot_settings.gdb_port));
        }
        run_shell(command);
        reboot_system();
    }
    if (boot_settings.gdb) {
        if (path_exists(DEBUGGER_PATH)) {
            std::puts("*** Launching under GDB ***");
            run_shell("/tmp/gdb /tmp/home/bin/mp.elf.strip");
            reboot_system();
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        start_backtrace_launcher();
    }
    if (boot_settings.memchk) {
        run_shell("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
        reboot_system();
    }
    start_backtrace_launcher();
}
