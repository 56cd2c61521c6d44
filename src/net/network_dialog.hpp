// The network settings dialogue: DHCP question and address questions.
#pragma once
#include <netinet/in.h>

int ip_address_plausible(in_addr addr);
int prompt_ip_address(const char* prompt, in_addr* out, bool required, bool validate);
int prompt_network_settings(bool* use_dhcp, in_addr* ip, in_addr* netmask, in_addr* gateway,
                            bool allow_dhcp);
