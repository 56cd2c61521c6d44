// The management port (eth0): configuration, link test, MAC address.
#pragma once
#include <netinet/in.h>

int configure_mgmt_port(bool use_dhcp, char port, in_addr ip, in_addr netmask, in_addr gateway);
int mgmt_link_up();
int setup_mgmt_network(bool allow_dhcp);
int set_mac_address();
// The MAC answer has the form of six hex fields separated by colons.
bool mac_address_well_formed(const char* text);
