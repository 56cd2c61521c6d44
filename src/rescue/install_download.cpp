// What both download commands do with the file that arrived.
#include "rescue/install_download.hpp"

#include <cstdio>

#include "platform/switch_paths.hpp"

int ask_install_slot() {
    std::fputs("Install image as image 1 or 2 (hit return to just boot image): ", stdout);
    std::fflush(stdout);
    char answer[32];
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
        std::clearerr(stdin);
        return 0;
    }
    if (answer[0] == '1') return 1;
    if (answer[0] == '2') return 2;
    return 0;
}

InstallOutcome install_download() {
    return install_bundle(download_path().c_str(), false, 0, ask_install_slot);
}
