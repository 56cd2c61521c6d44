// Rescue Mode command T: network questions, TFTP download, install.
#pragma once

inline constexpr const char* DOWNLOAD_PATH = "/tmp/image";

int tftp_rescue();
