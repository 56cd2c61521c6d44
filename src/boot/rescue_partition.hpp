// The rescue partition: recreate /user and boot the rescue image, and the
// extraction of the debugger from the other slot.
#pragma once

int recreate_user_fs_and_boot_diagnostics();
int boot_rescue_partition();
int extract_debugger(int slot);
