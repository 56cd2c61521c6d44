// What both download commands do with the file that arrived: install it,
// asking the operator where an application goes.
#pragma once
#include "image/bundle_installer.hpp"

// The slot question: 1 or 2 from the first character of the answer, else 0.
// A read that ends without a line (end of input, Ctrl-C) is 0 as well: the
// download is booted directly.
int ask_install_slot();

// Installs the download (download_path()) with no same-version skipping and
// the slot question.
InstallOutcome install_download();
