// The bundle installer: walks a downloaded bundle and writes each sub-image
// to its flash partition or slot file.
#pragma once
#include <functional>

enum class InstallOutcome {
    installed,          // at least one sub-image was installed and the walk reached the end
    nothing_installed,  // a sub-image was refused, or the bundle held nothing to install
    boot_download,      // the operator chose to boot the application: its archive is ready
};

// Asks where an application goes: 1 or 2 stores it in that slot, 0 boots it
// without storing it.
using SlotQuestion = std::function<int()>;

// Installs every recognised sub-image of the bundle at `path`. `slot` 1 or 2
// stores an application there; 0 asks `ask_slot`, once per bundle. When the
// answer is to boot the application, its payload is written to the archive
// and the walk ends there: the caller launches it.
InstallOutcome install_bundle(const char* path, bool skip_same_version, int slot,
                              const SlotQuestion& ask_slot);
