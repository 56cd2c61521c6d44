// Booting one application slot: find the bootable sub-image, verify it, write
// the archive and hand over to the launch.
#pragma once
#include <cstdint>
#include <cstdio>

// find_boot_subimage lives with the walk.
#include "boot/boot_walk.hpp"

// 0 when this attempt failed and the other slot is worth a try; otherwise
// does not return.
int boot_slot_image(int slot);

// Slot file path of a slot ("/user/images/image1" or "/user/images/image2").
const char* slot_file_path(int slot);

inline constexpr const char* APP_ARCHIVE_PATH = "/tmp/vantuimage.tar.gz";
