// Booting one application slot: find the bootable sub-image, verify it, write
// the archive and hand over to the launch.
#pragma once

// 0 when this attempt failed and the other slot is worth a try; otherwise
// does not return.
int boot_slot_image(int slot);
