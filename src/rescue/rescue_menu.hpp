// Rescue Mode: the single-key menu.
#pragma once

// What Rescue Mode needs of the boot side, which sits above it and passes
// this in: the menu cannot call the boot otherwise.
struct BootHandover {
    // Boots the archive of a download the operator chose not to store. Does
    // not return.
    void (*launch_download)();
    // Command D: the question whether to recreate /user, then the boot of the
    // rescue partition. Returns when that boot failed.
    int (*recreate_user_and_boot_rescue)();
};

// 1 on Exit or at the end of the console's input; does not return on Reboot.
int rescue_menu(const BootHandover& boot);
