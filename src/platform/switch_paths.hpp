// Where the files lie that the loader writes and reads itself: the slot
// files, the download, the application archive, the debugger and the files
// the launch looks for in the unpacked archive. On the switch every path is
// exactly the one written beside it; a unit test moves them all under a
// directory of its own with set_path_root_for_testing.
#pragma once
#include <string>
#include <string_view>

std::string slot_directory_path();     // /user/images
std::string slot_file_path(int slot);  // /user/images/image1 or image2 (slot 1 or 2)
std::string download_path();           // /tmp/image
std::string app_archive_path();        // /tmp/vantuimage.tar.gz
std::string debugger_archive_path();   // /tmp/gdb.gz
std::string debugger_path();           // /tmp/gdb
std::string distro_id_path();          // /tmp/home/bin/distro-id
std::string install_script_path();     // /tmp/home/bin/install.sh
std::string env_setup_path();          // /tmp/home/bin/env-setup
std::string serial_port_path();        // /dev/ttyS0, the console line of the XMODEM download

// Every path above then starts with `root` (a directory without the trailing
// slash); an empty root gives the switch's own paths again.
void set_path_root_for_testing(std::string_view root);
