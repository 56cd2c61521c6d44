// The one place that runs command lines through the shell, replaces the
// process with a program, tests whether a path exists and quotes for the shell.
#include "platform/outside_programs.hpp"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

int run_shell(const char* command) {
    return std::system(command);
}

void replace_process(const char* path) {
    ::execlp(path, path, static_cast<char*>(nullptr));
}

bool path_exists(const char* path) {
    struct stat st{};
    return ::stat(path, &st) == 0;
}

std::string shell_quote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";  // close the quotes, an escaped quote, reopen
        } else if (c != '\0') {
            // A command line is a C string: a NUL byte cannot be passed on
            // and would cut the line short, so it is left out.
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}
