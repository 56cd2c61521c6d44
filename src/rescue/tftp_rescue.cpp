// Rescue Mode command T: the network questions, the configuration of the
// management port, the TFTP download of a bundle and its installation.
#include "rescue/tftp_rescue.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console_io.hpp"
#include "console/keys.hpp"
#include "net/mgmt_port.hpp"
#include "net/network_dialog.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"
#include "platform/switch_paths.hpp"
#include "rescue/install_download.hpp"

namespace {

constexpr int TFTP_ATTEMPTS = 3;
constexpr unsigned ATTEMPT_PAUSE_SECONDS = 3;
constexpr std::size_t FILE_NAME_SIZE = 128;  // at most 127 typed characters

// The operator's answers.
struct TftpSettings {
    bool use_dhcp = false;  // the port is always configured statically here
    in_addr ip{};
    in_addr netmask{};
    in_addr gateway{};
    in_addr server{};
    char file_name[FILE_NAME_SIZE] = {};
};

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

// The port's addresses, the server and the file name. False when the
// operator gave up at any of them.
bool ask_tftp_settings(TftpSettings& settings) {
    return prompt_network_settings(&settings.use_dhcp, &settings.ip, &settings.netmask,
                                   &settings.gateway, false) != 0 &&
           prompt_ip_address("Server addr:", &settings.server, true, true) != 0 &&
           prompt_file_name(settings.file_name);
}

// Runs the TFTP client until a file arrives, three times at most. True when
// the download file is there and this attempt wrote it.
bool fetch_download(const char* file_name, const char* server_text) {
    const std::string download = download_path();
    const std::string command =
        "tftp -g -r " + shell_quote(file_name) + " -l " + download + " " + server_text + "\n";
    for (int attempt = 1; attempt <= TFTP_ATTEMPTS; ++attempt) {
        if (break_requested.load() != 0) return false;
        std::printf("Installing image %s from TFTP server %s\n", file_name, server_text);
        // The TFTP client leaves an existing file alone when a transfer
        // fails; only a file that this attempt wrote may count, so one that
        // cannot be removed ends the download.
        if (::unlink(download.c_str()) != 0 && errno != ENOENT) {
            std::fflush(stdout);
            std::perror("Can't remove /tmp/image");
            return false;
        }
        run_shell(command.c_str());
        if (path_exists(download.c_str())) return true;
        std::printf("Attempt %d/3 of tftp timed out\n", attempt);
        device_io::wait_seconds(ATTEMPT_PAUSE_SECONDS);
    }
    std::puts("Tftp download failed. Aborting");
    return false;
}

}  // namespace

InstallOutcome tftp_rescue() {
    constexpr char port = '0';
    TftpSettings settings;
    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    if (!ask_tftp_settings(settings)) return InstallOutcome::nothing_installed;

    // A port without link is reported by configure_mgmt_port; the download is
    // tried all the same.
    configure_mgmt_port(settings.use_dhcp, port, settings.ip, settings.netmask, settings.gateway);

    char server_text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &settings.server, server_text, sizeof server_text) == nullptr ||
        !fetch_download(settings.file_name, server_text)) {
        return InstallOutcome::nothing_installed;
    }
    return install_download();
}
