// Tests of the line editor fed key by key (every byte in every escape state,
// output byte for byte) and of read_line reading a pipe up to its end.
#include "console/keys.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <unistd.h>

namespace {

std::string bs(std::size_t n) { return std::string(n, '\b'); }

// What the editor did: output, text, cursor, escape state, whether the line ended.
using Outcome = std::tuple<std::string, std::string, std::size_t, int, bool>;

// Feeds `setup`, then `keys`, to an editor on a buffer of `size` bytes; the output is that of `keys`.
Outcome edit(std::size_t size, const std::string& setup, const std::string& keys) {
    std::string buffer(size, 'Z'), out;
    LineEditor ed;
    ed.start(buffer.data(), size);
    for (unsigned char k : setup) EXPECT_FALSE(ed.feed(k, out)) << "setup ended";
    out.clear();
    bool ended = false;
    for (unsigned char k : keys) {
        EXPECT_FALSE(ended) << "key after the end of the line";
        ended = ed.feed(k, out);
    }
    const std::string text = buffer.c_str();
    EXPECT_EQ(buffer, text + std::string(size - text.size(), '\0'));  // zero after the text
    EXPECT_EQ(ed.length, text.size());
    EXPECT_EQ(ed.broken, out.ends_with(" <break>\n"));
    return {out, text, ed.cursor, static_cast<int>(ed.escape), ended};
}

const struct { std::size_t size; std::string setup, keys; Outcome expected; } EDITOR_CASES[] = {
    {128, "", "abc\x01X", {"abc" + bs(3) + "Xabc" + bs(3), "Xabc", 1, 0, false}},  // the three examples
    {128, "abcd\x02\x02", "\x08", {"\bcd " + bs(3), "acd", 1, 0, false}},
    {128, "abcd\x01\x06", "\x04", {"cd " + bs(3), "acd", 1, 0, false}},
    {128, "ab", "\x06\x04\x01\x01\x02\x08\x7f\x1b\x7f", {"\b\b", "ab", 0, 0, false}},  // at the edges
    {128, "abc", "\x1b\x7f\x7f", {"\b \b\b \b", "a", 1, 0, false}},  // ESC DEL deletes one character
    {128, "abc\x01", "\x1b[C\x1b[1;5C\x1b[D\x1b[12;3D", {"ab\b\b", "abc", 0, 0, false}},  // arrows
    {128, "abc", "\x1b[A\x1b[B\x1b[3~x", {"x", "abcx", 4, 0, false}},  // up, down, Delete swallowed
    {128, "ab\x01", "\x1bOC", {"Oab" + bs(2) + "Cab" + bs(2), "OCab", 2, 0, false}},  // ESC O: no sequence
    {128, "ab\x02", "\x03", {" <break>\n", "ab", 1, 0, true}},  // the Ctrl-C byte
    {128, "a\x1b", "\x03", {" <break>\n", "a", 1, 0, true}},
    // Full buffer: 17 characters in 18 bytes, then a bell for each printable key; the others work.
    {18, "00:11:22:33:44:55", "6\xe9", {"\a\a", "00:11:22:33:44:55", 17, 0, false}},
    {18, "00:11:22:33:44:55", "x\x02\x7fz\r", {"\a\b\b5 \b\bz5\b\n", "00:11:22:33:44:z5", 16, 0, true}},
    {1, "", "a\r", {"\a\n", "", 0, 0, true}},
};

TEST(Editor, Table) {
    for (const auto& [size, setup, keys, expected] : EDITOR_CASES)
        EXPECT_EQ(edit(size, setup, keys), expected) << testing::PrintToString(setup + "|" + keys);
}

// What a key does to the text "abc" with the cursor before c.
enum Class { HOME, LEFT, RIGHT, BREAK, DELETE_AT, DELETE_BEFORE, END, ESCAPE, SEQUENCE, PARAMETER, INSERT,
             BELL, DROP };

Class expected_class(int state, int key) {
    const bool parameter = (key >= '0' && key <= '9') || key == ';';
    if (state == 2) return parameter ? PARAMETER : key == 'C' ? RIGHT : key == 'D' ? LEFT : DROP;
    if (state == 1 && key == '[') return SEQUENCE;
    switch (key) {  // as in state 0
    case 0x01: return HOME;       case 0x02: return LEFT;   case 0x03: return BREAK;
    case 0x04: return DELETE_AT;  case 0x06: return RIGHT;  case 0x08: case 0x7f: return DELETE_BEFORE;
    case 0x0a: case 0x0d: return END;  case 0x1b: return ESCAPE;
    }
    return (key >= 0x20 && key < 0x7f) || key >= 0x80 ? INSERT : BELL;
}

TEST(Editor, EveryByteInEveryEscapeState) {
    for (int state = 0; state < 3; ++state) {
        for (int key = 0; key < 256; ++key) {
            const std::string k(1, static_cast<char>(key));
            const Outcome by_class[] = {  // in the order of Class
                {bs(2), "abc", 0, 0, false}, {bs(1), "abc", 1, 0, false}, {"c", "abc", 3, 0, false},
                {" <break>\n", "abc", 2, 0, true}, {" \b", "ab", 2, 0, false}, {"\bc \b\b", "ac", 1, 0, false},
                {"\n", "abc", 2, 0, true}, {"", "abc", 2, 1, false}, {"", "abc", 2, 2, false},
                {"", "abc", 2, 2, false}, {k + "c\b", "ab" + k + "c", 3, 0, false}, {"\a", "abc", 2, 0, false},
                {"", "abc", 2, 0, false},
            };
            EXPECT_EQ(edit(128, std::string("abc\x02\x1b[", 4 + state), k), by_class[expected_class(state, key)])
                << "state " << state << " key " << key;
        }
    }
}

// read_line on a pipe ends at Enter, or at the end of the input in any escape
// state (no bell rung in a loop); a NUL byte is a key, not the end; bytes are
// unsigned; a prefilled buffer is cleared.
TEST(ReadLine, PipeUpToEnterOrItsEnd) {
    const struct { std::string input; std::size_t size; std::string text, echo; } rows[] = {
        {"ab\rcd\r", 128, "ab", "ab\n"}, {std::string("a\0\xe9\r", 4), 128, "a\xe9", "a\a\xe9\n"},
        {"ab\x1b", 128, "ab", "ab\n"}, {"ab\x1b[1", 128, "ab", "ab\n"}, {"abcdef", 4, "abc", "abc\a\a\a\n"},
    };
    for (const auto& r : rows) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], r.input.data(), r.input.size()), static_cast<ssize_t>(r.input.size()));
        close(fds[1]);
        dup2(fds[0], 0);  // standard input
        close(fds[0]);
        std::string buffer(r.size, 'Z');
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_line(buffer.data(), r.size), buffer.data());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.echo);
        EXPECT_EQ(buffer, r.text + std::string(r.size - r.text.size(), '\0')) << testing::PrintToString(r.input);
    }
}

}  // namespace
