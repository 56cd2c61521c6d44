// The program's spine: start-up, the boot of the selected slot and the
// fallback to the other one, the SIGINT flag and the reboot routine.
#include "boot/boot_sequence.hpp"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "boot/boot_settings.hpp"
#include "boot/rescue_partition.hpp"
#include "boot/slot_boot.hpp"
#include "console/rescue_menu.hpp"
#include "net/mgmt_port.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/device_io.hpp"
#include "platform/flash.hpp"
#include "platform/outside_programs.hpp"

// Written by the signal handler with one store: it must never take a lock.
static_assert(std::atomic<std::uint8_t>::is_always_lock_free,
              "break_requested must be written from a signal handler");
std::atomic<std::uint8_t> break_requested{0};

namespace {

extern "C" void on_break(int) { break_requested.store(1, std::memory_order_relaxed); }

}  // namespace

void install_break_handler() {
    struct sigaction action {};
    action.sa_handler = on_break;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: Ctrl-C must cut a blocking console read short.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

void reboot_system() {
    device_io::wait_seconds(1);
    if (run_shell("reboot") < 0) std::fputs("System reboot failed, please power-cycle.\n", stderr);
    std::exit(0);
}

void run_boot_sequence() {
    // The console gets whole lines in order with standard error even when it
    // is not a terminal (a log, a pipe); prompts are flushed where they stand.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_break_handler();
    open_i2c_buses();
    open_flash_partitions();
    load_boot_settings();

    run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // The walk's listing is not wanted; the absolute path keeps the redirection
    // from creating a file wherever the working directory happens to be.
    run_shell("/usr/bin/find /user > /dev/null");

    if (boot_settings.rescue_at_boot) rescue_menu();
    if (boot_settings.diags_at_boot) recreate_user_fs_and_boot_diagnostics();

    const int slot = boot_slot_selected();
    // The remote debug server needs the management port; ask for its settings
    // now, before the boot runs unattended.
    if (boot_settings.gdbserver) setup_mgmt_network(true);

    std::printf("Booting image '%d'\n", slot);
    if (boot_slot_image(slot) == 0) {
        const int other = slot == 1 ? 2 : 1;
        std::printf("Booting image '%d'\n", other);
        boot_settings.second_attempt = true;
        boot_slot_image(other);
    }
    reboot_system();
}
