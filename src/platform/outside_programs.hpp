// The one place that runs command lines through the shell, replaces the
// process with a program, reboots the switch, tests whether a path exists,
// and quotes text for the shell.
#pragma once
#include <string>
#include <string_view>

// system(command): the shell's status, negative when it could not be started.
// Standard output and standard error are flushed first, here and before
// replace_process, so the console shows the loader's lines in order.
int run_shell(const char* command);

// Replaces the process with `path` (argument 0 = path, no further arguments,
// the current environment). Returns only when that failed.
void replace_process(const char* path);

// Waits a second and runs "reboot"; exits with 0 when the shell ran it (the
// switch goes down), after a line on stderr when the shell could not start.
[[noreturn]] void reboot_system();

// A status query on the path succeeds.
bool path_exists(const char* path);

// The text in single quotes, each embedded ' written as '\'' so that the shell
// passes it on unchanged and interprets nothing in it.
std::string shell_quote(std::string_view text);
