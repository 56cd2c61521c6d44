// Rescue Mode command T: the network questions, the configuration of the
// management port, the TFTP download of a bundle and its installation.
#include "console/tftp_rescue.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "boot/boot_sequence.hpp"
#include "console/keys.hpp"
#include "image/bundle_installer.hpp"
#include "net/mgmt_port.hpp"
#include "net/network_dialog.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"

namespace {

constexpr int TFTP_ATTEMPTS = 3;
constexpr unsigned ATTEMPT_PAUSE_SECONDS = 3;
constexpr std::size_t FILE_NAME_SIZE = 128;  // at most 127 typed characters

// The command line holds the file name quoted for the shell: each character
// is at most four once quoted ('\'' for a quote), plus the two enclosing
// quotes, and a dotted address of at most 15 characters.
constexpr std::size_t TFTP_COMMAND_SIZE =
    sizeof "tftp -g -r  -l /tmp/image \n" + 2 + 4 * (FILE_NAME_SIZE - 1) + (INET_ADDRSTRLEN - 1);

// Asks for the image file name until one is settled. Returns false when the
// operator quit (exactly "q") or broke off, or the console's input ended.
bool prompt_file_name(char (&name)[FILE_NAME_SIZE]) {
    for (;;) {
        std::fputs("Image Filename: ", stdout);
        std::fflush(stdout);
        read_line(name, sizeof name);
        if (break_requested.load() != 0 || key_input_ended()) return false;
        if (std::strlen(name) > 1) return true;
        if (std::strcmp(name, "q") == 0) return false;
        std::puts("Invalid filename. Try again please");
    }
}

}  // namespace

int tftp_rescue() {
    bool use_dhcp = false;  // the port is always configured statically here
    const char port = '0';
    in_addr ip{};
    in_addr netmask{};
    in_addr gateway{};
    in_addr server{};
    char file_name[FILE_NAME_SIZE] = {};

    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    if (prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, false) == 0) return 0;
    if (prompt_ip_address("Server addr:", &server, true, true) == 0) return 0;
    if (!prompt_file_name(file_name)) return 0;

    // A port without link is reported by configure_mgmt_port; the download is
    // tried all the same.
    configure_mgmt_port(use_dhcp, port, ip, netmask, gateway);

    char server_text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &server, server_text, sizeof server_text) == nullptr) return 0;
    const std::string quoted_name = shell_quote(file_name);
    char command[TFTP_COMMAND_SIZE];
    const int length = std::snprintf(command, sizeof command, "tftp -g -r %s -l %s %s\n",
                                     quoted_name.c_str(), DOWNLOAD_PATH, server_text);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) return 0;

    bool downloaded = false;
    for (int attempt = 1; attempt <= TFTP_ATTEMPTS; ++attempt) {
        if (break_requested.load() != 0) return 0;
        std::printf("Installing image %s from TFTP server %s\n", file_name, server_text);
        // The TFTP client leaves an existing file alone when a transfer
        // fails; only a file that this attempt wrote may count, so one that
        // cannot be removed ends the download.
        if (::unlink(DOWNLOAD_PATH) != 0 && errno != ENOENT) {
            std::fflush(stdout);
            std::perror("Can't remove /tmp/image");
            return 0;
        }
        run_shell(command);
        if (path_exists(DOWNLOAD_PATH)) {
            downloaded = true;
            break;
        }
        std::printf("Attempt %d/3 of tftp timed out\n", attempt);
        device_io::wait_seconds(ATTEMPT_PAUSE_SECONDS);
    }
    if (!downloaded) {
        std::puts("Tftp download failed. Aborting");
        return 0;
    }
    return install_bundle(DOWNLOAD_PATH, false, 0);
}
