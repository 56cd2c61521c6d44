// Rescue Mode entered from the boot: the menu, with the boot side's hand-over.
#include "boot/rescue_mode.hpp"

#include "boot/launch.hpp"
#include "boot/rescue_partition.hpp"
#include "rescue/rescue_menu.hpp"

namespace {

// A downloaded application goes through the launch as a slot's does.
[[noreturn]] void launch_download() { launch_application(false); }

constexpr BootHandover BOOT_HANDOVER{launch_download, recreate_user_fs_and_boot_diagnostics};

}  // namespace

int enter_rescue_mode() { return rescue_menu(BOOT_HANDOVER); }
