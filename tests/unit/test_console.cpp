// console/: the line editor fed key by key and read_line up to the end of the input; Rescue Mode's menu; the
// download commands, T with stand-ins for the network programs and X's serial port and its waits for Enter.
#include <fcntl.h>

#include "console/keys.hpp"
#include "console/rescue_menu.hpp"
#include "console/serial_rescue.hpp"
#include "console/tftp_rescue.hpp"
#include "test_support.hpp"

namespace {

using namespace unit;

std::string bs(std::size_t n) { return std::string(n, '\b'); }

// What the editor did: output, text, cursor, whether the line ended.
using Outcome = std::tuple<std::string, std::string, std::size_t, bool>;

// Feeds `setup`, then `keys`, to an editor on a buffer of `size` bytes; the output is that of `keys`.
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
    EXPECT_EQ(ed.length, text.size());
    EXPECT_EQ(ed.broken, out.ends_with(" <break>\n"));
    return {out, text, ed.cursor, ended};
}

TEST(Editor, Keys) {
    const struct { std::size_t size; std::string setup, keys; Outcome expected; } cases[] = {
        {128, "", "abc\x01X", {"abc" + bs(3) + "Xabc" + bs(3), "Xabc", 1, false}},  // Ctrl-A, insert
        {128, "abcd\x02\x02", "\x08", {"\bcd " + bs(3), "acd", 1, false}},  // Ctrl-B, backspace
        {128, "abcd\x01\x06", "\x04", {"cd " + bs(3), "acd", 1, false}},  // Ctrl-F, Ctrl-D
        {128, "ab", "\x06\x04\x01\x01\x02\x08\x7f\x1b\x7f", {"\b\b", "ab", 0, false}},  // at the edges
        {128, "abc", "\x1b\x7f\x7f", {"\b \b\b \b", "a", 1, false}},  // ESC DEL deletes one character
        {128, "abc\x01", "\x1b[C\x1b[1;5C\x1b[D\x1b[12;3D", {"ab\b\b", "abc", 0, false}},  // arrows
        {128, "abc", "\x1b[A\x1b[B\x1b[3~\x1b[\x01x", {"x", "abcx", 4, false}},  // swallowed in a sequence
        {128, "ab\x01", "\x1bOC", {"Oab" + bs(2) + "Cab" + bs(2), "OCab", 2, false}},  // ESC O: no sequence
        {128, "ab\x01", "\x1b\x06", {"a", "ab", 1, false}},  // ESC, then the key as it is
        {128, "ab", "\x80\xff", {"\x80\xff", "ab\x80\xff", 4, false}},  // high bytes are text
        {128, "ab", std::string("\0\x05\x07\x1f", 4), {"\a\a\a\a", "ab", 2, false}},  // other controls ring
        {128, "ab\x02", "\x03", {" <break>\n", "ab", 1, true}},  // the Ctrl-C byte
        {128, "a\x1b", "\x03", {" <break>\n", "a", 1, true}},
        {128, "ab\x02", "\n", {"\n", "ab", 1, true}},
        // Full buffer: 17 characters in 18 bytes, then a bell for each printable key; the others work.
        {18, "00:11:22:33:44:55", "6\xe9", {"\a\a", "00:11:22:33:44:55", 17, false}},
        {18, "00:11:22:33:44:55", "x\x02\x7fz\r", {"\a\b\b5 \b\bz5\b\n", "00:11:22:33:44:z5", 16, true}},
        {1, "", "a\r", {"\a\n", "", 0, true}},
    };
    for (const auto& [size, setup, keys, expected] : cases)
        EXPECT_EQ(edit(size, setup, keys), expected) << testing::PrintToString(setup + "|" + keys);
}

// read_line ends at Enter, or at the end of the input in any escape state (no
// bell rung in a loop); a NUL byte is a key, not the end; a prefilled buffer is cleared.
TEST(ReadLine, UpToEnterOrTheEndOfTheInput) {
    const struct { std::string input; std::size_t size; std::string text, echo; } rows[] = {
        {"ab\rcd\r", 128, "ab", "ab\n"},
        {std::string("a\0\xe9\r", 4), 128, "a\xe9", "a\a\xe9\n"},
        {"ab\x1b", 128, "ab", "ab\n"},
        {"ab\x1b[1", 128, "ab", "ab\n"},
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


TEST(RescueMenu, LetterWithoutACommandThenTheEndOfTheInput) {
    const std::string listing = "Please select one of the following options:\n"
                                "\tT) Configure networking and tftp download an image\n"
                                "\tX) Use xmodem 1K to serial download an image\n\tR) Reboot\n\tE) Exit\n";
    Console console("u");
    EXPECT_EQ(rescue_menu(), 1);
    EXPECT_EQ(console.finish().out, "Entering Rescue Mode.\n" + listing + "\nOption? : u\nUnknown option 85. Quitting\n" +
                                        listing + "\nOption? : " + std::string(1, '\0') + "\n");
}


// Every row begins with a /tmp/image left by an earlier download. The stand-in client fetches only "second",
// and that at its second attempt; a /tmp/image that cannot be removed gives the download up.
TEST(TftpRescue, Dialogues) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    stand_in("tftp", "[ \"$3\" = second ] && [ -e /tmp/tried ] && echo junk >/tmp/image; touch /tmp/tried");
    Board board;
    board.apply();
    const std::string asked = "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n"
                              "IP addr    :192.0.2.5\nNetmask    :\nGateway    :\nServer addr:192.0.2.1\n";
    const std::string ask = "Image Filename: ", bad = "Invalid filename. Try again please\n" + ask;
    const std::string fetch = "Installing image second from TFTP server 192.0.2.1\n"
                              "tftp [-g] [-r] [second] [-l] [/tmp/image] [192.0.2.1]\n";
    const std::string configured = "ifconfig [eth0] [192.0.2.5]\nConfiguring management port..." + std::string(20, '.') +
                                   "\nOpen Interface eth0 error.\nMgmt link not available. Quitting.\n";
    std::string waits = "wait 5s\n";  // the configuration's
    for (int i = 0; i < 21; ++i) waits += "wait 1s\n";
    const struct { std::string keys, printed, err = "", waits = ""; bool stuck = false; } cases[] = {
        {"\na\nQ\nq\n", ask + "\n" + bad + "a\n" + bad + "Q\n" + bad + "q\n"},
        {"a\n", ask + "a\n" + bad + "\n"},  // the input ends: no more asking
        {"second\n", ask + "second\n" + configured + fetch + "Attempt 1/3 of tftp timed out\n" + fetch +
             "\nExtracting images ... Do *NOT* power cycle the switch.\nFile processed\nERROR: No valid image found\n",
         "", waits + "wait 3s\n"},
        {"second\n", ask + "second\n" + configured + "Installing image second from TFTP server 192.0.2.1\n",
         "Can't remove /tmp/image: Is a directory\n", waits, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        std::filesystem::remove_all("/tmp/image");
        std::filesystem::remove_all("/tmp/tried");
        std::filesystem::remove(board.config.bus_log);
        if (c.stuck) std::filesystem::create_directories("/tmp/image/old");
        else write_file("/tmp/image", std::string("stale"));
        Console console("192.0.2.5\n\n\n192.0.2.1\n" + c.keys);
        EXPECT_EQ(tftp_rescue(), 0);
        const Printed printed = console.finish();
        EXPECT_EQ(printed.out, asked + c.printed);
        EXPECT_EQ(printed.err, c.err);
        EXPECT_EQ(board.log(), c.waits);
    }
}

// X: a port whose settings cannot be read (no terminal) is left as it is, and the download given up before
// the operator is asked to change speed; the Enter bytes waiting on the port stay unread.
TEST(SerialRescue, PortWhoseSettingsCannotBeRead) {
    TempDir dir;
    const std::string port = dir.file("ttyS0");
    ASSERT_EQ(::mkfifo(port.c_str(), 0600), 0);
    const int line = ::open(port.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(::write(line, "\r\n", 2), 2);  // Enter at either speed
    set_serial_port_for_testing(port.c_str());
    Console console;
    EXPECT_EQ(serial_download_begin(), -1);
    const Printed printed = console.finish();
    EXPECT_EQ(printed.err, "Can't read serial port settings: Inappropriate ioctl for device\n");
    EXPECT_EQ(printed.out, "");
    char left[3];
    EXPECT_EQ(::read(line, left, sizeof left), 2);
    set_serial_port_for_testing(nullptr);
    ::close(line);
}

// One byte is read per pass; a pass without the key waits a second, and every 11th such pass prints the
// waiting line. Enter at once: no wait, no line.
TEST(SerialRescue, WaitForEnter) {
    Board board;
    board.apply();
    const struct { std::string keys; unsigned char key; int waits; const char* printed; } cases[] = {
        {"\r", '\r', 0, ""},
        {"\n\r", '\r', 1, ""},
        {"\r\n", '\n', 1, ""},
        {std::string(10, 'x') + "\r", '\r', 10, ""},
        {std::string(11, 'x') + "\r", '\r', 11, "W\n"},
        {std::string(22, 'x') + "\n", '\n', 22, "W\nW\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.keys));
        std::filesystem::remove(board.config.bus_log);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
        ASSERT_EQ(::write(fds[1], c.keys.data(), c.keys.size()), ssize_t(c.keys.size()));
        Console console;
        wait_for_key_byte(fds[0], c.key, "W");
        EXPECT_EQ(console.finish().out, c.printed);
        std::string waits;
        for (int i = 0; i < c.waits; ++i) waits += "wait 1s\n";
        EXPECT_EQ(board.log(), waits);
        char rest;
        EXPECT_EQ(::read(fds[0], &rest, 1), -1);  // nothing read after the key
        ::close(fds[0]);
        ::close(fds[1]);
    }
}

}  // namespace
