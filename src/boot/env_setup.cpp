// The application's environment settings file: whitespace-separated tokens
// taken in pairs, name then value, each set in this process's environment.
#include "boot/env_setup.hpp"

#include <cstdlib>
#include <cstring>

int apply_env_setup(std::FILE* file) {
    char name[ENV_TOKEN_MAX + 1];
    char value[ENV_TOKEN_MAX + 1];
    static_assert(ENV_TOKEN_MAX == 511, "the scan format below carries the width");
    int names = 0;
    while (true) {
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
        const int scanned = std::fscanf(file, "%511s %511s", name, value);
        // EOF: the input ended (or failed) before a name. A %s conversion can
        // only fail at the end of the input, so 0 ends the scan as well.
        if (scanned == EOF || scanned < 1) break;
        setenv(name, value, 1);
        ++names;
    }
    return names;
}
