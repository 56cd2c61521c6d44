// Installed image headers: where each image type keeps its 16-byte header
// (slot file or flash partition), the same-version test and the version report.
#include "image/installed_headers.hpp"

#include <cstdio>
#include <cstring>

#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "image/install_plan.hpp"
#include "platform/flash.hpp"
#include "platform/switch_paths.hpp"
#include "platform/unique_file.hpp"

namespace {

int read_slot_file_header(std::uint8_t* out, int slot) {
    UniqueFile file(std::fopen(slot_file_path(slot).c_str(), "rb"));
    if (!file) return 0;
    // A file shorter than a header leaves the rest zero.
    std::fread(out, 1, IMAGE_FIXED_HEADER_SIZE, file.get());
    return 1;
}

struct VersionRow {
    std::uint32_t type;
    int slot;
    const char* format;
};

constexpr VersionRow VERSION_ROWS[] = {
    {IMAGE_TYPE_BOOTLOADER, 0, "\tBoot image  : %d.%d.%d.%d\n"},
    {IMAGE_TYPE_ROOTFS, 0, "\tRFS image   : %d.%d.%d.%d\n"},
    {IMAGE_TYPE_KERNEL, 0, "\tKernel image: %d.%d.%d.%d\n"},
    {IMAGE_TYPE_DEVICETREE, 0, "\tDFT image   : %d.%d.%d.%d\n"},
    {IMAGE_TYPE_APPLICATION, 1, "\tOS image 1  : %d.%d.%d.%d\n"},
    {IMAGE_TYPE_APPLICATION, 2, "\tOS image 2  : %d.%d.%d.%d\n"},
};

}  // namespace

int read_installed_header(std::uint32_t type, std::uint8_t* out, int slot) {
    if (out == nullptr) return 0;
    std::memset(out, 0, IMAGE_FIXED_HEADER_SIZE);

    if (type == IMAGE_TYPE_APPLICATION) return read_slot_file_header(out, slot);

    const InstallRule* rule = install_rule_of(type);
    if (rule != nullptr && rule->target != InstallTarget::application) {
        // A failed read leaves the bytes zero, which reads as version 0.0.0.0.
        if (flash_read(out, flash_handle(rule->partition), rule->installed_header_offset,
                       IMAGE_FIXED_HEADER_SIZE) != 0) {
            std::memset(out, 0, IMAGE_FIXED_HEADER_SIZE);
        }
        return 1;
    }

    std::printf("Unknown image type 0x%x \n", static_cast<unsigned>(type));
    return 0;
}

int same_as_installed(const std::uint8_t* header, int slot) {
    if (header == nullptr) return 0;
    // A layout-2 header carries the extended flag in its magic word; the
    // installed header is found by the type alone.
    const std::uint32_t type = image_type_of(load_be32(header + 8));
    std::uint8_t installed[IMAGE_FIXED_HEADER_SIZE];
    if (read_installed_header(type, installed, slot) == 0) return 0;
    return same_installed_header(installed, header) ? 1 : 0;
}

int show_installed_versions() {
    std::puts("Installed images versions: ");
    for (const VersionRow& row : VERSION_ROWS) {
        std::uint8_t header[IMAGE_FIXED_HEADER_SIZE];
        read_installed_header(row.type, header, row.slot);
        const std::uint8_t* id = header + 12;
        std::printf(row.format, id[0], id[1], id[2], id[3]);
    }
    return 0;
}
