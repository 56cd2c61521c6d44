// Rescue Mode command X: XMODEM-1K download over the console line, install.
#pragma once

int xmodem_rescue();
int serial_download_begin();
void serial_download_end(int port);
