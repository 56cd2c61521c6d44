// Console input: single keys without echo, and the line editor.
#pragma once
#include <cstddef>
#include <string>

int read_key();          // 0..255; 0 when nothing was read
void echo_char(int c);   // one byte to stdout, flushed
char* read_line(char* buf, std::size_t size);
