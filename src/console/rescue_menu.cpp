// Rescue Mode: the single-key menu, its listing, the key loop with the
// Ctrl-C flag, and the dispatch to the rescue commands.
#include "console/rescue_menu.hpp"

#include <cctype>
#include <cstdio>

#include "boot/rescue_partition.hpp"
#include "console/console_io.hpp"
#include "console/keys.hpp"
#include "console/serial_rescue.hpp"
#include "console/tftp_rescue.hpp"
#include "image/installed_headers.hpp"
#include "net/mgmt_port.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"

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
    case 'T': case 'X': case 'U': case 'V': case 'R': case 'M': case 'D': case 'E':
        return true;
    default:
        return false;
    }
}

}  // namespace

int rescue_menu() {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        int selected = 0;
        list_menu();

        while (selected == 0) {
            std::printf("\nOption? : ");
            std::fflush(stdout);
            const int key = read_key();
            std::printf("%c\n", key);
            if (take_break()) continue;
            if (key == 0) {
                // The console has ended: nobody can choose any more, so
                // leave as on Exit rather than prompt without end.
                if (key_input_ended()) {
                    std::fflush(stdout);
                    return 1;
                }
                continue;
            }
            const int letter = static_cast<unsigned char>(std::toupper(key));
            if (is_command_letter(letter)) {
                selected = letter;
            } else {
                std::printf("unknown option \"%c\". Please try again\n", letter);
            }
        }

        // Commands run outside programs; what the menu printed goes first.
        std::fflush(stdout);
        switch (selected) {
        case 'T':
            tftp_rescue();
            break;
        case 'X':
            xmodem_rescue();
            break;
        case 'R':
            device_io::wait_seconds(1);
            reboot_system();
        case 'E':
            return 1;
        case 'D':
            recreate_user_fs_and_boot_diagnostics();
            break;
        case 'M':
            set_mac_address();
            break;
        case 'V':
            show_installed_versions();
            break;
        default:
            std::printf("Unknown option %d. Quitting\n", selected);
            break;
        }
        take_break();
    }
}
