// The bundle installer: walks a downloaded bundle and writes each sub-image
// to its flash partition or slot file.
#pragma once

// Installs every recognised sub-image of the bundle at `path`. 1 when at
// least one was installed and the walk reached its end, 0 otherwise. `slot`
// 0 asks the operator where an application goes; 1 or 2 stores it there.
// A direct boot of a downloaded application does not return.
int install_bundle(const char* path, bool skip_same_version, int slot);
