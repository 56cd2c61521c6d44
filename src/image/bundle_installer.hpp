// The bundle installer: walks a downloaded bundle and writes each sub-image
// to its flash partition or slot file.
#pragma once

int install_bundle(const char* path, bool skip_same_version, int slot);
