// Console input: single keys without echo, and the line editor.
#pragma once
#include <cstddef>
#include <string>

int read_key();         // 0..255; 0 when nothing was read
void echo_char(int c);  // one byte to stdout, flushed
char* read_line(char* buf, std::size_t size);

// True when the last read_key found no more input to wait for: standard
// input is at its end (the read returned no byte) or the read failed for a
// reason other than an interruption by a signal. A key of 0 with this false
// is a typed NUL byte or a wait cut short by Ctrl-C.
bool key_input_ended();

// The line editor of read_line as a state machine: fed one key at a time, it
// edits the caller's buffer and appends the bytes the terminal must be sent
// to `out`. It owns nothing; the buffer belongs to the caller.
struct LineEditor {
    // Where the editor stands in an escape sequence.
    enum class Escape {
        none,         // plain keys
        after_esc,    // ESC seen: "[" opens a sequence, DEL deletes, anything else is a key
        in_sequence,  // ESC "[" seen: parameters are skipped, the final byte ends it
    };

    char* buf = nullptr;
    std::size_t size = 0;
    std::size_t cursor = 0;  // 0 .. length
    std::size_t length = 0;  // bytes of text before the zero terminator
    Escape escape = Escape::none;
    bool broken = false;  // the line was ended by the Ctrl-C byte

    // Clears all `size` bytes of `buf` and resets the state.
    void start(char* line, std::size_t line_size);
    // Handles one key (0..255). Returns true when the line has ended.
    bool feed(int key, std::string& out);
    // End of input: the line ends as on Enter. Always returns true.
    bool end_of_input(std::string& out);

private:
    bool feed_normal(unsigned char key, std::string& out);
    void move_left(std::string& out);
    void move_right(std::string& out);
    void delete_at_cursor(std::string& out);
    void delete_before_cursor(std::string& out);
    void insert(unsigned char key, std::string& out);
};
