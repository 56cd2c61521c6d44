// Booting one application slot: find the bootable sub-image, verify it while
// writing its payload to the archive, record the slot and hand over.
#include "boot/slot_boot.hpp"

#include "boot/boot_settings.hpp"
#include "boot/boot_walk.hpp"
#include "boot/launch.hpp"
#include "boot/rescue_mode.hpp"
#include "boot/rescue_partition.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/outside_programs.hpp"
#include "platform/switch_paths.hpp"
#include "platform/unique_file.hpp"

namespace {

int other_slot(int slot) { return slot == 1 ? 2 : 1; }

// The end of a boot that cannot go on: the shell when the settings ask for
// it, then the reboot.
[[noreturn]] void shell_then_reboot() {
    if (boot_settings.shell) run_shell("/bin/sh\n");
    reboot_system();
}

// Opens the slot file of `slot`, or when that fails the other slot's, which
// `slot` then names. With neither, Rescue Mode and then the reboot.
UniqueFile open_slot_file(int& slot) {
    UniqueFile image(std::fopen(slot_file_path(slot).c_str(), "rb"));
    if (image) return image;
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot,
                 other_slot(slot));
    slot = other_slot(slot);
    image.reset(std::fopen(slot_file_path(slot).c_str(), "rb"));
    if (image) return image;
    std::fprintf(stderr, "Failed to open Application image %d.\n", slot);
    enter_rescue_mode();
    shell_then_reboot();
}

// The archive, unbuffered: the payload goes out in whole pieces, and
// emptying it after a mismatch leaves nothing behind in a stdio buffer.
UniqueFile create_archive() {
    UniqueFile archive(std::fopen(app_archive_path().c_str(), "wb"));
    if (archive) std::setvbuf(archive.get(), nullptr, _IONBF, 0);
    return archive;
}

// Hands a verified archive over to the launch.
[[noreturn]] void launch_slot(int slot, const BootWalk& walk) {
    record_booted_slot(static_cast<std::uint8_t>(slot));
    if (boot_settings.gdb && !boot_settings.gdbserver) extract_debugger(slot);
    launch_application(walk.extent.type == IMAGE_TYPE_DIAGNOSTICS);
}

// A bootable sub-image whose CRC did not match. On the second attempt both
// slots have failed.
int checksum_failed(int slot) {
    if (boot_settings.second_attempt) {
        std::fputs("Both image1 and image2 failed.\n", stderr);
        shell_then_reboot();
    }
    std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
    return 0;
}

// No bootable sub-image. On the second attempt the operator gets Rescue Mode.
int no_bootable_image(int slot, const BootWalk& walk) {
    if (boot_settings.second_attempt) {
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        enter_rescue_mode();
        shell_then_reboot();
    }
    std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n",
                 static_cast<unsigned>(walk.extent.type),
                 static_cast<unsigned>(IMAGE_TYPE_DIAGNOSTICS));
    std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
    return 0;
}

}  // namespace

int boot_slot_image(int slot) {
    if (slot != 1 && slot != 2) return 0;
    UniqueFile image = open_slot_file(slot);
    UniqueFile archive = create_archive();
    if (!archive) {
        std::fputs("Failed to open application image output file.\n", stderr);
        image.reset();
        shell_then_reboot();
    }

    const BootWalk walk = find_boot_subimage(image.get());
    // One pass: the sub-image is read in bounded pieces, its CRC computed
    // and its payload written as it goes; a mismatch empties the archive.
    const bool verified =
        walk.found() &&
        copy_verified_payload(image.get(), walk.extent.header_length, walk.extent.payload_length,
                              walk.stored_crc, archive.get());
    image.reset();
    archive.reset();
    if (verified) launch_slot(slot, walk);

    // A bootable sub-image whose lengths cannot be read whole (a slot file
    // whose writing was cut off, say) fails like a bad CRC on the first
    // attempt; on the second it counts as no image, so that Rescue Mode is
    // offered rather than a reboot that would find the same file again.
    const bool cut_off = walk.end == BootWalkEnd::bad_bootable;
    if (walk.found() || (cut_off && !boot_settings.second_attempt)) return checksum_failed(slot);
    return no_bootable_image(slot, walk);
}
