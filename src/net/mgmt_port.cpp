// The management port eth0: its configuration by DHCP or by static
// addresses, the kernel's link test, and Rescue Mode command M (MAC address).
#include "net/mgmt_port.hpp"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console_io.hpp"
#include "console/keys.hpp"
#include "net/network_dialog.hpp"
#include "platform/device_io.hpp"
#include "platform/outside_programs.hpp"
#include "platform/unique_fd.hpp"

namespace {

constexpr const char* MGMT_INTERFACE = "eth0";
constexpr unsigned DHCP_SETTLE_SECONDS = 3;
constexpr unsigned STATIC_SETTLE_SECONDS = 5;
constexpr int CONFIGURE_DOTS = 20;
constexpr std::size_t MAC_ANSWER_SIZE = 18;  // "nn:nn:nn:nn:nn:nn" and its terminator

// The longest command line is the MAC command with a 17-character answer
// quoted for the shell (each character at most four once quoted, plus the two
// quotes); the address commands hold at most 15 address characters.
constexpr std::size_t COMMAND_SIZE = 128;
static_assert(COMMAND_SIZE >= sizeof "ifconfig eth0 hw ether \n" + 2 + 4 * (MAC_ANSWER_SIZE - 1));

// Dotted decimal form of an address, as inet_ntoa prints it, in a buffer of
// the caller's (inet_ntoa's static buffer would be overwritten by a second
// address in the same message).
struct Dotted {
    char text[INET_ADDRSTRLEN];
};

Dotted dotted(in_addr addr) {
    Dotted d{};
    if (inet_ntop(AF_INET, &addr, d.text, sizeof d.text) == nullptr) d.text[0] = '\0';
    return d;
}

// Formats and runs one command line. A line too long for the buffer is not
// run at all (it cannot happen with the lines this file composes).
template <typename... Args>
void run_command(const char* format, Args... args) {
    char command[COMMAND_SIZE];
    const int n = std::snprintf(command, sizeof command, format, args...);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) return;
    run_shell(command);
}

bool is_hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// One "%x" conversion as the C library's scanf performs it: leading white
// space, an optional sign, an optional 0x or 0X, then hex digits. A lone "0x"
// converts as 0, as glibc does. Returns the position after the field, or
// nullptr when nothing converts. Values are not accumulated, so no length of
// field can overflow anything.
const char* skip_hex_field(const char* p) {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        while (is_hex_digit(*p)) ++p;
        return p;
    }
    if (!is_hex_digit(*p)) return nullptr;
    while (is_hex_digit(*p)) ++p;
    return p;
}

}  // namespace

bool mac_address_well_formed(const char* text) {
    const char* p = text;
    for (int field = 0; field < 6; ++field) {
        if (field > 0) {
            if (*p != ':') return false;
            ++p;
        }
        p = skip_hex_field(p);
        if (p == nullptr) return false;
    }
    return true;  // whatever follows the sixth field is not looked at
}

int mgmt_link_up() {
    const UniqueFd sock(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        std::puts("Raw Socket open error");
        return 0;
    }

    ifreq request{};
    std::strncpy(request.ifr_name, MGMT_INTERFACE, sizeof request.ifr_name - 1);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &request) < 0) {
        std::printf("Open Interface %s error.\n", MGMT_INTERFACE);
        return 0;
    }
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &request) < 0) {
        std::puts("Open flags error.");
        return 0;
    }
    const unsigned flags = static_cast<unsigned short>(request.ifr_flags);

    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    link.data = 0;
    request.ifr_data = reinterpret_cast<char*>(&link);
    if (::ioctl(sock.get(), SIOCETHTOOL, &request) < 0) {
        std::puts("EthTool GLINK error.");
        return 0;
    }

    const bool up_and_running = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
    return link.data != 0 && up_and_running ? 1 : 0;
}

int configure_mgmt_port(bool use_dhcp, char port, in_addr ip, in_addr netmask, in_addr gateway) {
    if (use_dhcp) {
        run_command("dhclient -1 eth%c", port);
        device_io::wait_seconds(DHCP_SETTLE_SECONDS);
    } else {
        run_command("ifconfig eth%c %s\n", port, dotted(ip).text);
        if (netmask.s_addr != 0) {
            const Dotted mask = dotted(netmask);
            std::printf("\tNetmask    : %s\n", mask.text);
            run_command("ifconfig eth%c down\n", port);
            run_command("ifconfig eth%c netmask %s\n", port, mask.text);
            run_command("ifconfig eth%c up\n", port);
        }
        device_io::wait_seconds(STATIC_SETTLE_SECONDS);
        if (gateway.s_addr != 0) {
            const Dotted gw = dotted(gateway);
            std::printf("\tGateway    : %s\n", gw.text);
            run_command("route add default gw %s\n", gw.text);
        }
        std::fputs("Configuring management port...", stdout);
        for (int i = 0; i < CONFIGURE_DOTS; ++i) {
            device_io::wait_seconds(1);
            std::putchar('.');
            std::fflush(stdout);
        }
        std::putchar('\n');
        device_io::wait_seconds(1);
    }

    if (port == '0' && mgmt_link_up() == 0) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int setup_mgmt_network(bool allow_dhcp) {
    const char port = '0';
    bool use_dhcp = false;
    in_addr ip{};
    in_addr netmask{};
    in_addr gateway{};
    if (prompt_network_settings(&use_dhcp, &ip, &netmask, &gateway, allow_dhcp) == 0) return 0;
    return configure_mgmt_port(use_dhcp, port, ip, netmask, gateway);
}

int set_mac_address() {
    const char port = '0';
    char answer[MAC_ANSWER_SIZE];
    for (;;) {
        std::fputs("MAC address (format nn:nn:nn:nn:nn:nn): ", stdout);
        std::fflush(stdout);
        read_line(answer, sizeof answer);
        // At the end of the console's input, give up rather than ask again.
        if (break_requested.load() != 0 || key_input_ended()) return 0;
        if (std::strcmp(answer, "q") == 0) return 0;
        if (mac_address_well_formed(answer)) {
            // The program receives the text as typed; quoting keeps the shell
            // from interpreting any of it.
            const std::string quoted = shell_quote(answer);
            run_command("ifconfig eth%c hw ether %s\n", port, quoted.c_str());
            return 1;
        }
        std::puts("Invalid MAC address. Try again please");
    }
}
