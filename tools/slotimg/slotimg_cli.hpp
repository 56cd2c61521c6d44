// The slotimg command line: subcommands, options, help texts, and the files
// they read and write. main() is a thin wrapper so tests can run it in-process.
#pragma once
#include <cstdio>

// Runs `slotimg` with argv[0..argc) (argv[0] is the program name). Normal
// output goes to `out`, errors to `err`. Returns the exit status: 0 success,
// 1 a failed check or operation, 2 a usage error.
int run_slotimg(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
