// Rescue Mode: the single-key menu, its listing, the key loop with the
// Ctrl-C flag, and the dispatch to the rescue commands.
#include "rescue/rescue_menu.hpp"

#include <cctype>
#include <cstdio>

#include "console/console_io.hpp"
#include "console/keys.hpp"
#include "image/installed_headers.hpp"
#include "net/mgmt_port.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"
#include "rescue/serial_rescue.hpp"
#include "rescue/tftp_rescue.hpp"

namespace {

void list_menu() {
    std::puts("Please select one of the following options:");
    std::printf("\t%c) Configure networking and tftp download an image\n", 'T');
    std::printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    std::printf("\t%c) Reboot\n", 'R');
    std::printf("\t%c) Exit\n", 'E');
}

bool is_command_letter(int letter) {
    switch (letter) {
    case 'T':
    case 'X':
    case 'U':
    case 'V':
    case 'R':
    case 'M':
    case 'D':
    case 'E': return true;
    default: return false;
    }
}

// Reads keys until one is a command letter, and returns it (upper case); 0
// when the console's input has ended: nobody can choose any more, so the
// menu is left as on Exit rather than prompt without end.
int read_command_letter() {
    for (;;) {
        std::printf("\nOption? : ");
        std::fflush(stdout);
        const int key = read_key();
        std::printf("%c\n", key);
        if (take_break()) continue;
        if (key == 0) {
            if (key_input_ended()) return 0;
            continue;
        }
        const int letter = static_cast<unsigned char>(std::toupper(key));
        if (is_command_letter(letter)) return letter;
        std::printf("unknown option \"%c\". Please try again\n", letter);
    }
}

// A download's outcome: the boot side launches what the operator chose to boot.
void act_on(InstallOutcome outcome, const BootHandover& boot) {
    if (outcome == InstallOutcome::boot_download) boot.launch_download();
}

// Carries out one command. False on Exit.
bool run_command(int letter, const BootHandover& boot) {
    switch (letter) {
    case 'T': act_on(tftp_rescue(), boot); break;
    case 'X': act_on(xmodem_rescue(), boot); break;
    case 'R': device_io::wait_seconds(1); reboot_system();
    case 'E': return false;
    case 'D': boot.recreate_user_and_boot_rescue(); break;
    case 'M': set_mac_address(); break;
    case 'V': show_installed_versions(); break;
    default: std::printf("Unknown option %d. Quitting\n", letter); break;
    }
    return true;
}

}  // namespace

int rescue_menu(const BootHandover& boot) {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        list_menu();
        const int letter = read_command_letter();
        // Commands run outside programs; what the menu printed goes first.
        std::fflush(stdout);
        if (letter == 0 || !run_command(letter, boot)) return 1;
        take_break();
    }
}
