// The one place that runs command lines through the shell, replaces the
// process with a program, reboots the switch, tests whether a path exists and
// quotes for the shell.
#include "platform/outside_programs.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/device_io.hpp"

// What the loader printed so far must reach the console before anything the
// program prints, and before the program takes the process over.
static void flush_console() {
    std::fflush(stdout);
    std::fflush(stderr);
}

int run_shell(const char* command) {
    flush_console();
    return std::system(command);
}

void replace_process(const char* path) {
    flush_console();
    ::execlp(path, path, static_cast<char*>(nullptr));
}

void reboot_system() {
    device_io::wait_seconds(1);
    if (run_shell("reboot") < 0) std::fputs("System reboot failed, please power-cycle.\n", stderr);
    std::exit(0);
}

bool path_exists(const char* path) {
    struct stat st {};
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
