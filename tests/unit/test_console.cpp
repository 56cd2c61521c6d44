// console/: the line editor, read_line, the buffering of standard output. (Ctrl-C cutting a key
// wait short: the system suite's Ctrl-C rows.)
#include "console/console_io.hpp"
#include "console/keys.hpp"
#include "test_support.hpp"

namespace {

using namespace unit;

std::string bs(std::size_t n) { return std::string(n, '\b'); }

// Output, text, cursor, whether the line ended.
using Outcome = std::tuple<std::string, std::string, std::size_t, bool>;

// The outcome of `keys`, fed after `setup` to an editor on `size` bytes.
Outcome edit(std::size_t size, const std::string& setup, const std::string& keys) {
    std::string buffer(size, 'Z'), out;
    LineEditor ed;
    ed.start(buffer.data(), size);
    for (unsigned char k : setup) ed.feed(k, out);
    out.clear();
    bool ended = false;
    for (unsigned char k : keys) {
        EXPECT_FALSE(ended) << "a key after the end of the line";
        ended = ed.feed(k, out);
    }
    const std::string text = buffer.c_str();
    EXPECT_EQ(buffer, text + std::string(size - text.size(), '\0'));  // zeros after the text
    return {out, text, ed.cursor, ended};
}

TEST(Editor, Keys) {
    const struct {
        std::string setup, keys;
        Outcome expected;
        std::size_t size = 128;
    } cases[] = {
        {"", "abc\x01X", {"abc" + bs(3) + "Xabc" + bs(3), "Xabc", 1, false}},  // Ctrl-A, insert
        {"abcd\x02\x02", "\x08", {"\bcd " + bs(3), "acd", 1, false}},          // Ctrl-B, backspace
        {"abcd\x01\x06", "\x04", {"cd " + bs(3), "acd", 1, false}},            // Ctrl-F, Ctrl-D
        {"ab", "\x06\x04\x01\x01\x02\x08\x7f\x1b\x7f", {"\b\b", "ab", 0, false}},  // at the edges
        {"abc", "\x1b\x7f\x7f", {"\b \b\b \b", "a", 1, false}},  // ESC DEL deletes one character
        {"abc\x01", "\x1b[C\x1b[1;5C\x1b[D\x1b[12;3D", {"ab\b\b", "abc", 0, false}},  // arrows
        {"abc",
         "\x1b[A\x1b[B\x1b[3~\x1b[\x01x",
         {"x", "abcx", 4, false}},  // swallowed in a sequence
        {"ab\x01",
         "\x1bOC",
         {"Oab" + bs(2) + "Cab" + bs(2), "OCab", 2, false}},       // ESC O: no sequence
        {"ab", "\x80\xff", {"\x80\xff", "ab\x80\xff", 4, false}},  // high bytes are text
        {"ab",
         std::string("\0\x05\x07\x1f", 4),
         {"\a\a\a\a", "ab", 2, false}},                     // other controls ring
        {"ab\x02", "\x03", {" <break>\n", "ab", 1, true}},  // the Ctrl-C byte
        {"a\x1b", "\x03", {" <break>\n", "a", 1, true}},    // also after ESC
        {"ab\x02", "\n", {"\n", "ab", 1, true}},            // a newline is Enter
        // Full: a bell for a printable key; the others work.
        {"00:11:22:33:44:55",
         "x\x02\x7fz\r",
         {"\a\b\b5 \b\bz5\b\n", "00:11:22:33:44:z5", 16, true},
         18},
        {"", "a\r", {"\a\n", "", 0, true}, 1},
    };
    for (const auto& [setup, keys, expected, size] : cases)
        EXPECT_EQ(edit(size, setup, keys), expected) << testing::PrintToString(setup + "|" + keys);
}

// Also after ESC the end of the input ends it (no bell rung in a loop); a NUL is a key, not the
// end; a prefilled buffer is cleared.
TEST(ReadLine, UpToEnterOrTheEndOfTheInput) {
    const struct {
        std::string input;
        std::size_t size;
        std::string text, echo;
    } rows[] = {
        {"ab\rcd\r", 128, "ab", "ab\n"},
        {std::string("a\0\xe9\r", 4), 128, "a\xe9", "a\a\xe9\n"},
        {"ab\x1b", 128, "ab", "ab\n"},
        {"abcdef", 4, "abc", "abc\a\a\a\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.input));
        std::string buffer(r.size, 'Z');
        Console console(r.input);
        EXPECT_EQ(read_line(buffer.data(), r.size), buffer.data());
        EXPECT_EQ(console.finish().out, r.echo);
        EXPECT_EQ(buffer, r.text + std::string(r.size - r.text.size(), '\0'));
    }
}

// Line by line also when it is no terminal.
TEST(ConsoleIo, StandardOutputIsLineBuffered) {
    Console console;
    start_console();
    std::fputs("half a line", stdout);
    const std::string before_newline = read_text(path_of(console.out.get()));
    std::fputs(", then the rest\n", stdout);
    const std::string after_newline = read_text(path_of(console.out.get()));
    console.finish();
    EXPECT_EQ(before_newline, "");
    EXPECT_EQ(after_newline, "half a line, then the rest\n");
}

}  // namespace
