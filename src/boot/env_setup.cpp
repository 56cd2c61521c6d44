// The application's environment settings file: whitespace-separated tokens
// taken in pairs, name then value, each set in this process's environment.
#include "boot/env_setup.hpp"

#include <cstdlib>

namespace {

// The separators: white space as the C locale has it.
bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads the next token piece into token (ENV_TOKEN_MAX characters at most,
// then a NUL): white space is skipped, then characters are taken up to white
// space, the end of the file or the limit, where the next piece begins.
// False when the file ends (or fails) before a token.
bool read_token(std::FILE* file, char* token) {
    int c = std::getc(file);
    while (is_space(c)) c = std::getc(file);
    if (c == EOF) return false;
    int length = 0;
    while (true) {
        token[length++] = static_cast<char>(c);
        if (length == ENV_TOKEN_MAX) break;
        c = std::getc(file);
        if (c == EOF || is_space(c)) break;
    }
    token[length] = '\0';
    return true;
}

}  // namespace

int apply_env_setup(std::FILE* file) {
    char name[ENV_TOKEN_MAX + 1];
    char value[ENV_TOKEN_MAX + 1];
    int names = 0;
    while (read_token(file, name)) {
        if (!read_token(file, value)) value[0] = '\0';
        setenv(name, value, 1);
        ++names;
    }
    return names;
}
