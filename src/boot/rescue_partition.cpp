// The rescue partition: recreate /user and boot the rescue image, and the
// extraction of the debugger from the other slot.
#include "boot/rescue_partition.hpp"

#include <cctype>
#include <cstdio>

#include "boot/boot_sequence.hpp"
#include "boot/launch.hpp"
#include "boot/rescue_image.hpp"
#include "console/keys.hpp"
#include "image/image_header.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/outside_programs.hpp"

namespace {

constexpr const char* ARCHIVE_PATH = "/tmp/vantuimage.tar.gz";
constexpr const char* IMAGE_PATH = "/tmp/image";

void image_crc_failed() { std::fputs("Image CRC failed. Quitting\n", stderr); }

// A boot that gives up leaves the archive empty, as after a bad image.
void empty_archive() { UniqueFile emptied(std::fopen(ARCHIVE_PATH, "wb")); }

}  // namespace

int recreate_user_fs_and_boot_diagnostics() {
    std::fputs("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
               stdout);
    std::fflush(stdout);
    const int key = read_key();
    std::putchar('\n');
    // Only y or Y erases; anything else, Ctrl-C included (no key), boots the
    // rescue partition with /user left as it is.
    if (key != 0 && std::toupper(key) == 'Y') {
        std::puts("unmount filesystem");
        run_shell("/bin/umount /user &> /dev/null");
        std::puts("\nErasing filesystem for clean install");
        run_shell("flash_eraseall /dev/mtd-user-char");
        std::puts("Mounting...");
        run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
        std::puts("creating default filesystem");
        run_shell("mkdir /user/images &> /dev/null");
    }
    std::puts("Booting diags image...");
    std::fflush(stdout);
    boot_rescue_partition();
    return 1;
}

int boot_rescue_partition() {
    UniqueFile archive(std::fopen(ARCHIVE_PATH, "wb"));
    if (!archive) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        reboot_system();
    }

    // The partition's size bounds every read: a header whose lengths pass the
    // end of the partition is refused before anything past it is asked for.
    int handle = flash_handle(FlashPartition::rescue);
    ImageSource source{};
    if (!flash_image_source(&handle, &source)) {
        image_crc_failed();
        return 0;
    }

    const RescueImage image = stream_rescue_image(source, archive.get());
    if (image.status == RescueImageStatus::not_found) {
        std::fputs("Image not found... \n", stderr);
        return 0;
    }
    if (image.status != RescueImageStatus::sound) {
        image_crc_failed();
        return 0;
    }
    // The payload is all on disk now; the archive is not touched again
    // unless a failed install copy has to empty it.
    if (std::fclose(archive.release()) != 0) {
        empty_archive();
        image_crc_failed();
        return 0;
    }
    const bool is_diagnostics = image.type == IMAGE_TYPE_DIAGNOSTICS;

    if (is_diagnostics) {
        std::puts("Launching diagnostics image");
        std::fflush(stdout);
        record_booted_slot(BOOTED_RESCUE);
    } else {
        std::fputs("Install recovery image as image 1 or 2 (hit return to just boot image): ",
                   stdout);
        std::fflush(stdout);
        char answer[8] = {};
        // No line at all (end of input, Ctrl-C): launch at once, with no
        // slot written or recorded.
        const bool answered = std::fgets(answer, sizeof answer, stdin) != nullptr;
        if (!answered) std::clearerr(stdin);
        if (answered) {
            const char c = answer[0];
            if (c != '1' && c != '2') {
                std::puts("\nBooting recovery image. You will need to download and install an "
                          "image before rebooting");
                std::fflush(stdout);
                record_booted_slot(BOOTED_RESCUE);
            } else {
                std::printf("\nInstalling recovery image as image%c...\n", c);
                std::fflush(stdout);
                UniqueFile image_file(std::fopen(IMAGE_PATH, "wb"));
                if (!image_file) {
                    std::fputs("Failed to open image file.\n", stderr);
                    reboot_system();
                }
                // The sub-image is read from flash a second time; a read that
                // fails or bytes that no longer match their CRC must not end
                // up in a slot file, so that ends the boot like a bad image.
                const int copied = copy_rescue_image(source, image, image_file.get());
                const bool closed = std::fclose(image_file.release()) == 0;
                if (!copied || !closed) {
                    std::remove(IMAGE_PATH);
                    empty_archive();
                    image_crc_failed();
                    return 0;
                }
                run_shell("mkdir /user/images &> /dev/null");
                char command[64];
                std::snprintf(command, sizeof command, "cp /tmp/image /user/images/image%c\n", c);
                if (run_shell(command) != 0) {
                    // A slot file that was not written whole (a full /user,
                    // say) must not be selected: the boot goes on without it.
                    std::fprintf(stderr, "Failed to copy the recovery image to image%c\n", c);
                    empty_archive();
                    return 0;
                }
                const int slot = c - '0';
                std::printf("Setting boot image to %d\n", slot);
                std::fflush(stdout);
                set_selected_slot(static_cast<std::uint8_t>(slot));
                record_booted_slot(static_cast<std::uint8_t>(slot));
            }
        }
    }

    launch_application(is_diagnostics);
}

int extract_debugger(int slot) {
    if (slot != 1 && slot != 2) return 0;
    const int other = slot == 1 ? 2 : 1;
    std::printf("Extracting GDB from image slot %d\n", other);
    std::fflush(stdout);
    const char* slot_path = other == 1 ? "/user/images/image1" : "/user/images/image2";
    if (!copy_debugger_image(slot_path, "/tmp/gdb.gz", other)) return 0;
    std::puts("decompressing GDB....");
    run_shell("gunzip /tmp/gdb.gz");
    run_shell("chmod +x /tmp/gdb");
    return 1;
}
