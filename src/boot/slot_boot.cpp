// Booting one application slot: find the bootable sub-image, verify it while
// writing its payload to the archive, record the slot and hand over.
#include "boot/slot_boot.hpp"

#include <cstdlib>

#include "boot/boot_settings.hpp"
#include "boot/launch.hpp"
#include "boot/rescue_partition.hpp"
#include "console/rescue_menu.hpp"
#include "image/byte_order.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/outside_programs.hpp"
#include "platform/unique_file.hpp"

namespace {

int other_slot(int slot) { return slot == 1 ? 2 : 1; }

void shell_if_set() {
    if (boot_settings.shell) run_shell("/bin/sh\n");
}

}  // namespace

const char* slot_file_path(int slot) {
    switch (slot) {
        case 1: return "/user/images/image1";
        case 2: return "/user/images/image2";
        default: return nullptr;
    }
}

int boot_slot_image(int slot) {
    if (slot != 1 && slot != 2) return 0;

    UniqueFile image(std::fopen(slot_file_path(slot), "rb"));
    if (!image) {
        std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot,
                     other_slot(slot));
        slot = other_slot(slot);
        image.reset(std::fopen(slot_file_path(slot), "rb"));
        if (!image) {
            std::fprintf(stderr, "Failed to open Application image %d.\n", slot);
            rescue_menu();
            shell_if_set();
            reboot_system();
        }
    }

    UniqueFile archive(std::fopen(APP_ARCHIVE_PATH, "wb"));
    if (!archive) {
        std::fputs("Failed to open application image output file.\n", stderr);
        image.reset();
        shell_if_set();
        reboot_system();
    }
    // Unbuffered: the payload goes out in whole chunks, and emptying the
    // archive after a mismatch leaves nothing behind in a stdio buffer.
    std::setvbuf(archive.get(), nullptr, _IONBF, 0);

    std::uint32_t type = 0;
    std::uint8_t layout = 0;
    std::uint32_t header_length = 0;
    std::uint32_t payload_length = 0;
    std::uint8_t header[IMAGE_FIXED_HEADER_SIZE] = {};
    BootWalkInfo walk{};
    const int found = find_boot_subimage(image.get(), &type, &layout, &header_length,
                                         &payload_length, header, &walk);

    if (found) {
        // One pass: the sub-image is read in bounded pieces, its CRC computed
        // and its payload written as it goes; a mismatch empties the archive.
        if (copy_verified_payload(image.get(), header_length, payload_length, load_be32(header),
                                  archive.get())) {
            image.reset();
            archive.reset();
            record_booted_slot(static_cast<std::uint8_t>(slot));
            if (boot_settings.gdb && !boot_settings.gdbserver) extract_debugger(slot);
            launch_application(type == IMAGE_TYPE_DIAGNOSTICS);
        }
    }

    // A bootable sub-image whose lengths cannot be read whole (a slot file
    // whose writing was cut off, say) fails like a bad CRC on the first
    // attempt; on the second it counts as no image, so that Rescue Mode is
    // offered rather than a reboot that would find the same file again.
    const bool cut_off = walk.end == BootWalkEnd::bad_bootable;
    if (found || (cut_off && !boot_settings.second_attempt)) {
        image.reset();
        archive.reset();
        if (boot_settings.second_attempt) {
            std::fputs("Both image1 and image2 failed.\n", stderr);
            shell_if_set();
            reboot_system();
        }
        std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
        return 0;
    }

    // No bootable sub-image, or on the second attempt one cut off.
    archive.reset();
    image.reset();
    if (boot_settings.second_attempt) {
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        rescue_menu();
        shell_if_set();
        reboot_system();
    }
    std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", static_cast<unsigned>(walk.last_type),
                 static_cast<unsigned>(IMAGE_TYPE_DIAGNOSTICS));
    std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot,
                 other_slot(slot));
    return 0;
}
