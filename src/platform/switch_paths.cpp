// Where the files lie that the loader writes and reads itself.
#include "platform/switch_paths.hpp"

namespace {

// Empty on the switch.
std::string path_root;

std::string rooted(std::string_view path) { return path_root + std::string(path); }

}  // namespace

std::string slot_directory_path() { return rooted("/user/images"); }

std::string slot_file_path(int slot) {
    return slot_directory_path() + "/image" + std::to_string(slot);
}

std::string download_path() { return rooted("/tmp/image"); }
std::string app_archive_path() { return rooted("/tmp/vantuimage.tar.gz"); }
std::string debugger_archive_path() { return rooted("/tmp/gdb.gz"); }
std::string debugger_path() { return rooted("/tmp/gdb"); }
std::string distro_id_path() { return rooted("/tmp/home/bin/distro-id"); }
std::string install_script_path() { return rooted("/tmp/home/bin/install.sh"); }
std::string env_setup_path() { return rooted("/tmp/home/bin/env-setup"); }
std::string serial_port_path() { return rooted("/dev/ttyS0"); }

void set_path_root_for_testing(std::string_view root) { path_root = root; }
