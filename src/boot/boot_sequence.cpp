// The program's spine: start-up, then the boot of the selected slot and the
// fallback to the other one.
#include "boot/boot_sequence.hpp"

#include <cstdio>
#include <cstdlib>

#include "boot/boot_settings.hpp"
#include "boot/rescue_mode.hpp"
#include "boot/rescue_partition.hpp"
#include "boot/slot_boot.hpp"
#include "console/console_io.hpp"
#include "net/mgmt_port.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/device_io.hpp"
#include "platform/flash.hpp"
#include "platform/outside_programs.hpp"

void run_boot_sequence() {
    start_console();
    open_i2c_buses();
    open_flash_partitions();
    load_boot_settings();

    run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // The walk's listing is not wanted; the absolute path keeps the redirection
    // from creating a file wherever the working directory happens to be.
    run_shell("/usr/bin/find /user > /dev/null");

    if (boot_settings.rescue_at_boot) enter_rescue_mode();
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
