// The network settings dialogue: the DHCP question and the address questions
// for the management port, and the plausibility rule for typed addresses.
#include "net/network_dialog.hpp"

#include <arpa/inet.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "console/console_io.hpp"
#include "console/keys.hpp"
#include "platform/outside_programs.hpp"

namespace {

constexpr std::size_t ANSWER_SIZE = 128;  // at most 127 typed characters
constexpr const char* DHCP_CLIENT_PATH = "/bin/dhclient";

}  // namespace

int ip_address_plausible(in_addr addr) {
    const std::uint32_t first_octet = ntohl(addr.s_addr) >> 24;
    return first_octet >= 1 && first_octet <= 239 ? 1 : 0;
}

int prompt_ip_address(const char* prompt, in_addr* out, bool required, bool validate) {
    char answer[ANSWER_SIZE];
    for (;;) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        read_line(answer, sizeof answer);
        // At the end of the console's input nobody is left to answer: give up
        // as on q rather than ask again without end.
        if (break_requested.load() != 0 || key_input_ended()) return 0;
        if (answer[0] == 'q' || answer[0] == 'Q') return 0;
        if (answer[0] == '\0' && !required) return 1;  // the slot keeps its value

        // Parse into a scratch value: the caller's slot only ever receives an
        // accepted address, so a refused one cannot linger there once the
        // operator gives up with an empty answer.
        in_addr parsed{};
        if (inet_aton(answer, &parsed) == 0) {
            std::puts("Invalid IP address. Try again please");
            continue;
        }
        if (!validate || ip_address_plausible(parsed) != 0) {
            *out = parsed;
            return 1;
        }
        std::printf("Invalid IP address %s. Try again please\n", answer);
    }
}

int prompt_network_settings(bool* use_dhcp, in_addr* ip, in_addr* netmask, in_addr* gateway,
                            bool allow_dhcp) {
    *use_dhcp = false;
    if (allow_dhcp && path_exists(DHCP_CLIENT_PATH)) {
        char answer[ANSWER_SIZE];
        std::fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        std::fflush(stdout);
        read_line(answer, sizeof answer);
        if (break_requested.load() != 0) return 0;
        if (std::toupper(static_cast<unsigned char>(answer[0])) == 'Y') *use_dhcp = true;
        std::putchar('\n');
    }
    if (*use_dhcp) return 1;

    if (prompt_ip_address("IP addr    :", ip, true, true) == 0) return 0;
    if (prompt_ip_address("Netmask    :", netmask, false, false) == 0) return 0;
    if (prompt_ip_address("Gateway    :", gateway, false, true) == 0) return 0;
    return 1;
}
