// The rescue partition: recreate /user and boot the rescue image, and the
// extraction of the debugger from the other slot.
#include "boot/rescue_partition.hpp"

#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

#include "boot/launch.hpp"
#include "boot/rescue_image.hpp"
#include "console/keys.hpp"
#include "image/image_header.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/outside_programs.hpp"
#include "platform/switch_paths.hpp"
#include "platform/unique_file.hpp"

namespace {

void image_crc_failed() { std::fputs("Image CRC failed. Quitting\n", stderr); }

// A boot that gives up leaves the archive empty, as after a bad image.
void empty_archive() { UniqueFile emptied(std::fopen(app_archive_path().c_str(), "wb")); }

UniqueFile create_archive() {
    UniqueFile archive(std::fopen(app_archive_path().c_str(), "wb"));
    if (!archive) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        reboot_system();
    }
    return archive;
}

// Streams the rescue sub-image's payload into the archive and closes it. The
// image when it is sound and all on disk; none after the message that ends
// the boot.
std::optional<RescueImage> write_rescue_archive(const ImageSource& source, UniqueFile archive) {
    const RescueImage image = stream_rescue_image(source, archive.get());
    if (image.status == RescueImageStatus::not_found) {
        std::fputs("Image not found... \n", stderr);
        return std::nullopt;
    }
    if (image.status != RescueImageStatus::sound) {
        image_crc_failed();
        return std::nullopt;
    }
    // The payload is all on disk now; the archive is not touched again
    // unless a failed install copy has to empty it.
    if (std::fclose(archive.release()) != 0) {
        empty_archive();
        image_crc_failed();
        return std::nullopt;
    }
    return image;
}

// Copies the recovery image into the slot file of `slot` (the character '1'
// or '2') and selects it. False after the message that ends the boot.
bool install_recovery_image(const ImageSource& source, const RescueImage& image, char slot) {
    std::printf("\nInstalling recovery image as image%c...\n", slot);
    std::fflush(stdout);
    const std::string download = download_path();
    UniqueFile image_file(std::fopen(download.c_str(), "wb"));
    if (!image_file) {
        std::fputs("Failed to open image file.\n", stderr);
        reboot_system();
    }
    // The sub-image is read from flash a second time; a read that fails or
    // bytes that no longer match their CRC must not end up in a slot file,
    // so that ends the boot like a bad image.
    const bool copied = copy_rescue_image(source, image, image_file.get());
    const bool closed = std::fclose(image_file.release()) == 0;
    if (!copied || !closed) {
        std::remove(download.c_str());
        empty_archive();
        image_crc_failed();
        return false;
    }
    run_shell(("mkdir " + slot_directory_path() + " &> /dev/null").c_str());
    const int number = slot - '0';
    const std::string command = "cp " + download + " " + slot_file_path(number) + "\n";
    if (run_shell(command.c_str()) != 0) {
        // A slot file that was not written whole (a full /user, say) must
        // not be selected: the boot goes on without it.
        std::fprintf(stderr, "Failed to copy the recovery image to image%c\n", slot);
        empty_archive();
        return false;
    }
    std::printf("Setting boot image to %d\n", number);
    std::fflush(stdout);
    set_selected_slot(static_cast<std::uint8_t>(number));
    record_booted_slot(static_cast<std::uint8_t>(number));
    return true;
}

// The recovery image's install question and what the answer asks for. False
// when the boot ends there.
bool settle_recovery_image(const ImageSource& source, const RescueImage& image) {
    std::fputs("Install recovery image as image 1 or 2 (hit return to just boot image): ", stdout);
    std::fflush(stdout);
    char answer[8] = {};
    // No line at all (end of input, Ctrl-C): launch at once, with no slot
    // written or recorded.
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
        std::clearerr(stdin);
        return true;
    }
    if (answer[0] == '1' || answer[0] == '2')
        return install_recovery_image(source, image, answer[0]);
    std::puts("\nBooting recovery image. You will need to download and install an "
              "image before rebooting");
    std::fflush(stdout);
    record_booted_slot(BOOTED_RESCUE);
    return true;
}

}  // namespace

int recreate_user_fs_and_boot_diagnostics() {
    std::fputs(
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
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
        run_shell(("mkdir " + slot_directory_path() + " &> /dev/null").c_str());
    }
    std::puts("Booting diags image...");
    std::fflush(stdout);
    boot_rescue_partition();
    return 1;
}

int boot_rescue_partition() {
    UniqueFile archive = create_archive();
    // The partition's size bounds every read: a header whose lengths pass the
    // end of the partition is refused before anything past it is asked for.
    const std::optional<ImageSource> source = flash_image_source(FlashPartition::rescue);
    if (!source) {
        image_crc_failed();
        return 0;
    }
    const std::optional<RescueImage> image = write_rescue_archive(*source, std::move(archive));
    if (!image) return 0;
    const bool is_diagnostics = image->type == IMAGE_TYPE_DIAGNOSTICS;
    if (is_diagnostics) {
        std::puts("Launching diagnostics image");
        std::fflush(stdout);
        record_booted_slot(BOOTED_RESCUE);
    } else if (!settle_recovery_image(*source, *image)) {
        return 0;
    }
    launch_application(is_diagnostics);
}

int extract_debugger(int slot) {
    if (slot != 1 && slot != 2) return 0;
    const int other = slot == 1 ? 2 : 1;
    std::printf("Extracting GDB from image slot %d\n", other);
    std::fflush(stdout);
    const std::string archive = debugger_archive_path();
    if (!copy_debugger_image(slot_file_path(other).c_str(), archive.c_str(), other)) return 0;
    std::puts("decompressing GDB....");
    run_shell(("gunzip " + archive).c_str());
    run_shell(("chmod +x " + debugger_path()).c_str());
    return 1;
}
