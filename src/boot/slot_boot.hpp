// Booting one application slot: find the bootable sub-image, verify it, write
// the archive and hand over to the launch.
#pragma once
#include <cstdint>
#include <cstdio>

// Walks an open slot file from its start for the first application or
// diagnostics sub-image. 1 when found (file positioned at it), 0 when the end
// of the file (or a header that describes no sub-image) came first.
int find_boot_subimage(std::FILE* file, std::uint32_t* type_out, std::uint8_t* layout_out,
                       std::uint32_t* header_length_out, std::uint32_t* payload_length_out,
                       std::uint8_t* header_out);

// 0 when this attempt failed and the other slot is worth a try; otherwise
// does not return.
int boot_slot_image(int slot);

// Slot file path of a slot ("/user/images/image1" or "/user/images/image2").
const char* slot_file_path(int slot);

inline constexpr const char* APP_ARCHIVE_PATH = "/tmp/vantuimage.tar.gz";
