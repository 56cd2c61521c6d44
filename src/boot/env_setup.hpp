// The application's environment settings file: whitespace-separated tokens
// taken in pairs, name then value, each set in this process's environment.
#pragma once
#include <cstdio>

// Longest token piece one scan takes; a longer token is read as several.
inline constexpr int ENV_TOKEN_MAX = 511;

// Scans the file to its end, setting (overwriting) one variable per pair; a
// name without a value gets the empty value. Returns how many names were read.
int apply_env_setup(std::FILE* file);
