// Rescue Mode command T: network questions, TFTP download, install.
#pragma once
#include "image/bundle_installer.hpp"

// The installer's outcome; nothing_installed when the operator gave up or
// no file arrived.
InstallOutcome tftp_rescue();
