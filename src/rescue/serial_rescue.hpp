// Rescue Mode command X: XMODEM-1K download over the console line, install.
#pragma once
#include <termios.h>

#include "image/bundle_installer.hpp"

// Receives a bundle into /tmp/image with /usr/bin/rx and installs it: the
// installer's outcome, or nothing_installed when no file arrived or the port
// did not open.
InstallOutcome xmodem_rescue();

// Switches /dev/ttyS0 to the transfer settings (115200 bps, 8N1, raw) and
// waits for Enter at the new speed. The open port, or -1 when the port does
// not open or its settings cannot be read (it is then left as it is).
int serial_download_begin();

// Restores the console settings saved by serial_download_begin and waits for
// Enter at the console speed. Does not close the port.
void serial_download_end(int port);

// Reads the port one byte per pass until `key` arrives, sleeping a second
// after every other pass and printing `waiting_line` every 11 such passes.
void wait_for_key_byte(int port, unsigned char key, const char* waiting_line);

// The transfer settings built from the console settings of the port.
struct termios serial_transfer_settings(const struct termios& console);
