// Console input: read_key (one byte from fd 0 in non-canonical mode),
// echo_char, and the line editor behind read_line.
#include "console/keys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr unsigned char KEY_CTRL_A = 0x01;
constexpr unsigned char KEY_CTRL_B = 0x02;
constexpr unsigned char KEY_CTRL_C = 0x03;
constexpr unsigned char KEY_CTRL_D = 0x04;
constexpr unsigned char KEY_CTRL_F = 0x06;
constexpr unsigned char KEY_BS = 0x08;
constexpr unsigned char KEY_LF = 0x0A;
constexpr unsigned char KEY_CR = 0x0D;
constexpr unsigned char KEY_ESC = 0x1B;
constexpr unsigned char KEY_DEL = 0x7F;

constexpr char OUT_BS = '\b';
constexpr char OUT_BEL = '\a';

constexpr const char* BREAK_LINE = " <break>\n";

// Whether the last read_key found its input at an end.
bool last_read_ended = false;

bool is_printable(unsigned char key) { return (key >= 0x20 && key <= 0x7E) || key >= 0x80; }

}  // namespace

int read_key() {
    unsigned char byte = 0;

    // Switch the terminal to one-byte reads without echo, for this read
    // only. ISIG stays as it is, so Ctrl-C still raises SIGINT. When the
    // attributes cannot be read (not a terminal) the byte is read anyway.
    termios saved{};
    const bool have_attributes = tcgetattr(0, &saved) == 0;
    if (have_attributes) {
        termios working = saved;
        working.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        working.c_cc[VTIME] = 0;
        working.c_cc[VMIN] = 1;
        tcsetattr(0, TCSANOW, &working);
    }

    const ssize_t count = read(0, &byte, 1);
    last_read_ended = count == 0 || (count < 0 && errno != EINTR);
    if (count != 1) byte = 0;

    if (have_attributes) tcsetattr(0, TCSANOW, &saved);
    return byte;
}

bool key_input_ended() { return last_read_ended; }

void echo_char(int c) {
    std::fputc(static_cast<unsigned char>(c), stdout);
    std::fflush(stdout);
}

void LineEditor::start(char* line, std::size_t line_size) {
    buf = line;
    size = line != nullptr ? line_size : 0;
    if (size > 0) std::memset(buf, 0, size);
    cursor = 0;
    length = 0;
    escape = Escape::none;
    broken = false;
}

bool LineEditor::feed(int key_value, std::string& out) {
    const auto key = static_cast<unsigned char>(key_value);

    if (escape == Escape::after_esc) {
        if (key == '[') {
            escape = Escape::in_sequence;
            return false;
        }
        escape = Escape::none;
        if (key == KEY_BS || key == KEY_DEL) {
            delete_before_cursor(out);
            return false;
        }
        return feed_normal(key, out);
    }

    if (escape == Escape::in_sequence) {
        // Parameters of a CSI sequence are skipped; its final byte ends it.
        if ((key >= '0' && key <= '9') || key == ';') return false;
        escape = Escape::none;
        if (key == 'C') {
            move_right(out);
        } else if (key == 'D') {
            move_left(out);
        }
        return false;
    }

    return feed_normal(key, out);
}

bool LineEditor::end_of_input(std::string& out) {
    escape = Escape::none;
    out.push_back('\n');
    return true;
}

bool LineEditor::feed_normal(unsigned char key, std::string& out) {
    switch (key) {
    case KEY_CTRL_A:
        while (cursor > 0) move_left(out);
        return false;
    case KEY_CTRL_B: move_left(out); return false;
    case KEY_CTRL_C:
        out += BREAK_LINE;
        broken = true;
        return true;
    case KEY_CTRL_D: delete_at_cursor(out); return false;
    case KEY_CTRL_F: move_right(out); return false;
    case KEY_BS:
    case KEY_DEL: delete_before_cursor(out); return false;
    case KEY_LF:
    case KEY_CR: out.push_back('\n'); return true;
    case KEY_ESC: escape = Escape::after_esc; return false;
    default: break;
    }
    if (is_printable(key)) {
        insert(key, out);
    } else {
        out.push_back(OUT_BEL);
    }
    return false;
}

void LineEditor::move_left(std::string& out) {
    if (cursor == 0) return;
    out.push_back(OUT_BS);
    --cursor;
}

void LineEditor::move_right(std::string& out) {
    if (cursor >= length) return;
    out.push_back(buf[cursor]);
    ++cursor;
}

void LineEditor::delete_at_cursor(std::string& out) {
    if (cursor >= length) return;
    // Shift the tail one left; the terminator at buf[length] moves with it.
    std::memmove(buf + cursor, buf + cursor + 1, length - cursor);
    --length;
    // Redraw the tail, blank the column of the former last character, and
    // bring the terminal cursor back.
    const std::size_t tail = length - cursor;
    out.append(buf + cursor, tail);
    out.push_back(' ');
    out.append(tail + 1, OUT_BS);
}

void LineEditor::delete_before_cursor(std::string& out) {
    if (cursor == 0) return;
    out.push_back(OUT_BS);
    --cursor;
    delete_at_cursor(out);
}

void LineEditor::insert(unsigned char key, std::string& out) {
    // Room for one more character and the terminator.
    if (size == 0 || length >= size - 1) {
        out.push_back(OUT_BEL);
        return;
    }
    const std::size_t tail = length - cursor;
    out.push_back(static_cast<char>(key));
    out.append(buf + cursor, tail);
    out.append(tail, OUT_BS);
    std::memmove(buf + cursor + 1, buf + cursor, tail);
    buf[cursor] = static_cast<char>(key);
    ++cursor;
    ++length;
}

char* read_line(char* buf, std::size_t size) {
    LineEditor editor;
    editor.start(buf, size);
    std::string out;
    bool done = false;
    while (!done) {
        out.clear();
        const int key = read_key();
        if (key == 0 && key_input_ended()) {
            done = editor.end_of_input(out);
        } else {
            done = editor.feed(key, out);
        }
        if (editor.broken) {
            std::fputs(out.c_str(), stdout);
            std::fflush(stdout);
        } else {
            for (const char c : out) echo_char(c);
        }
    }
    return buf;
}
