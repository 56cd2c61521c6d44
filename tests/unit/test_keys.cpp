// Tests of the console input: the line editor fed key by key (every key in
// every escape state, output byte for byte), and read_key / read_line on a
// pipe and a pseudo-terminal as standard input.
#include "console/keys.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <fcntl.h>
#include <string>
#include <sys/time.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char BS = '\b';
constexpr char BEL = '\a';

std::string bs(std::size_t n) {
    return std::string(n, BS);
}

// An editor over its own buffer, fed a setup and then the keys under test.
struct Editing {
    std::string buffer;
    LineEditor editor;
    std::string out;       // output of the keys under test only
    bool ended = false;
    int ended_after = -1;  // index of the key that ended the line

    explicit Editing(std::size_t size, char prefill = '\0') : buffer(size, prefill) {
        editor.start(buffer.data(), size);
    }

    void setup(const std::string& keys) {
        std::string ignored;
        for (unsigned char key : keys) ASSERT_FALSE(editor.feed(key, ignored)) << "setup ended";
    }

    void feed(const std::string& keys) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            ASSERT_FALSE(ended) << "key after the end of the line";
            if (editor.feed(static_cast<unsigned char>(keys[i]), out)) {
                ended = true;
                ended_after = static_cast<int>(i);
            }
        }
    }

    std::string text() const { return std::string(buffer.c_str()); }
};

struct EditorCase {
    const char* name;
    std::size_t size;
    std::string setup;
    std::string keys;
    std::string output;
    std::string text;
    std::size_t cursor;
    bool ended;
};

const EditorCase EDITOR_CASES[] = {
    // The three worked examples.
    {"type_then_ctrl_a", 128, "", "abc\x01", "abc" + bs(3), "abc", 0, false},
    {"insert_at_start", 128, "abc\x01", "X", "Xabc" + bs(3), "Xabc", 1, false},
    {"backspace_mid", 128, "abcd\x02\x02", "\x08", std::string{BS} + "cd " + bs(3), "acd", 1,
     false},
    {"ctrl_d_mid", 128, "abcd\x01\x06", "\x04", "cd " + bs(3), "acd", 1, false},

    // Normal state, one key at a time.
    {"ctrl_a_mid", 128, "abcd\x02", "\x01", bs(3), "abcd", 0, false},
    {"ctrl_a_at_start", 128, "ab\x01", "\x01", "", "ab", 0, false},
    {"ctrl_a_empty", 128, "", "\x01", "", "", 0, false},
    {"ctrl_b_end", 128, "ab", "\x02", bs(1), "ab", 1, false},
    {"ctrl_b_at_start", 128, "ab\x01", "\x02", "", "ab", 0, false},
    {"ctrl_f_mid", 128, "abc\x01", "\x06\x06", "ab", "abc", 2, false},
    {"ctrl_f_at_end", 128, "ab", "\x06", "", "ab", 2, false},
    {"ctrl_d_at_end", 128, "ab", "\x04", "", "ab", 2, false},
    {"ctrl_d_first", 128, "ab\x01", "\x04", "b " + bs(2), "b", 0, false},
    {"ctrl_d_last", 128, "ab\x02", "\x04", " " + bs(1), "a", 1, false},
    {"backspace_end", 128, "abc", "\x08", std::string{BS} + " " + bs(1), "ab", 2, false},
    {"del_end", 128, "abc", "\x7f", std::string{BS} + " " + bs(1), "ab", 2, false},
    {"backspace_at_start", 128, "ab\x01", "\x08", "", "ab", 0, false},
    {"del_at_start", 128, "ab\x01", "\x7f", "", "ab", 0, false},
    {"backspace_empty", 128, "", "\x08\x7f", "", "", 0, false},
    {"insert_mid", 128, "ace\x02\x02", "b", "bce" + bs(2), "abce", 2, false},
    {"insert_end", 128, "ab", "c", "c", "abc", 3, false},
    {"cr_ends", 128, "ab\x01", "\r", "\n", "ab", 0, true},
    {"lf_ends", 128, "ab", "\n", "\n", "ab", 2, true},
    {"enter_alone", 128, "", "\r", "\n", "", 0, true},
    {"ctrl_c_byte", 128, "ab\x02", "\x03", " <break>\n", "ab", 1, true},
    {"byte_e9", 128, "a", "\xe9", "\xe9", "a\xe9", 2, false},
    {"byte_80_ff", 128, "", "\x80\xff", "\x80\xff", "\x80\xff", 2, false},
    {"nul_bell", 128, "a", std::string(1, '\0'), std::string{BEL}, "a", 1, false},
    {"tab_bell", 128, "a", "\t", std::string{BEL}, "a", 1, false},

    // After ESC.
    {"esc_x_inserts", 128, "a", "\x1bx", "x", "ax", 2, false},
    {"esc_backspace", 128, "abc\x02", "\x1b\x08", std::string{BS} + "c " + bs(2), "ac", 1,
     false},
    {"esc_del", 128, "abc\x02", "\x1b\x7f", std::string{BS} + "c " + bs(2), "ac", 1, false},
    {"esc_del_one_only", 128, "abc", "\x1b\x7f\x7f",
     std::string{BS} + " " + bs(1) + std::string{BS} + " " + bs(1), "a", 1, false},
    {"esc_del_at_start", 128, "ab\x01", "\x1b\x7f", "", "ab", 0, false},
    {"esc_cr_ends", 128, "a", "\x1b\r", "\n", "a", 1, true},
    {"esc_ctrl_c", 128, "a", "\x1b\x03", " <break>\n", "a", 1, true},
    {"esc_esc_x", 128, "", "\x1b\x1bx", "x", "x", 1, false},
    {"esc_nul_bell", 128, "", std::string("\x1b\0", 2), std::string{BEL}, "", 0, false},
    {"esc_o_not_sequence", 128, "ab\x01", "\x1bOC", "Oab" + bs(2) + "Cab" + bs(2), "OCab", 2,
     false},

    // ESC "[" sequences.
    {"arrow_right", 128, "abc\x01", "\x1b[C", "a", "abc", 1, false},
    {"arrow_left", 128, "abc", "\x1b[D", bs(1), "abc", 2, false},
    {"arrow_right_at_end", 128, "abc", "\x1b[C", "", "abc", 3, false},
    {"arrow_left_at_start", 128, "abc\x01", "\x1b[D", "", "abc", 0, false},
    {"arrow_right_params", 128, "abc\x01", "\x1b[1;5C", "a", "abc", 1, false},
    {"arrow_left_params", 128, "abc", "\x1b[1;5D", bs(1), "abc", 2, false},
    {"arrow_up_swallowed", 128, "abc", "\x1b[A", "", "abc", 3, false},
    {"arrow_down_swallowed", 128, "abc", "\x1b[B", "", "abc", 3, false},
    {"delete_key_swallowed", 128, "abc\x01", "\x1b[3~", "", "abc", 0, false},
    {"sequence_then_key", 128, "a", "\x1b[Ax", "x", "ax", 2, false},
    {"csi_nul_silent", 128, "a", std::string("\x1b[\0", 3), "", "a", 1, false},
    {"csi_cr_swallowed", 128, "a", "\x1b[\r", "", "a", 1, false},
    {"csi_ctrl_c_swallowed", 128, "a", "\x1b[\x03", "", "a", 1, false},

    // Full buffer.
    {"size1_bell", 1, "", "a", std::string{BEL}, "", 0, false},
    {"size2_one_char", 2, "", "ab", "a" + std::string{BEL}, "a", 1, false},
    {"full18_bell", 18, "abcdefghijklmnopq", "r", std::string{BEL}, "abcdefghijklmnopq", 17,
     false},
    {"full18_mid_bell", 18, "abcdefghijklmnopq\x01", "r", std::string{BEL},
     "abcdefghijklmnopq", 0, false},
    {"full18_delete_then_insert", 18, "abcdefghijklmnopq", "\x08z",
     std::string{BS} + " " + bs(1) + "z", "abcdefghijklmnopz", 17, false},
    {"full18_moves_work", 18, "abcdefghijklmnopq", "\x02\x06\x01", bs(1) + "q" + bs(17),
     "abcdefghijklmnopq", 0, false},
    {"full18_enter", 18, "abcdefghijklmnopq", "\r", "\n", "abcdefghijklmnopq", 17, true},
};

void PrintTo(const EditorCase& c, std::ostream* os) {
    *os << c.name;
}

class EditorTable : public testing::TestWithParam<EditorCase> {};

TEST_P(EditorTable, OutputTextCursor) {
    const EditorCase& c = GetParam();
    Editing e(c.size);
    e.setup(c.setup);
    e.feed(c.keys);
    EXPECT_EQ(e.out, c.output);
    EXPECT_EQ(e.text(), c.text);
    EXPECT_EQ(e.editor.cursor, c.cursor);
    EXPECT_EQ(e.editor.length, c.text.size());
    EXPECT_EQ(e.ended, c.ended);
    if (c.ended) {
        EXPECT_EQ(e.ended_after, static_cast<int>(c.keys.size()) - 1);
    }
    EXPECT_EQ(e.editor.escape, 0) << "a finished sequence leaves the normal state";
    // The buffer is zero from the end of the text to its end.
    for (std::size_t i = c.text.size(); i < c.size; ++i) {
        EXPECT_EQ(e.buffer[i], '\0') << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, EditorTable, testing::ValuesIn(EDITOR_CASES),
                         [](const testing::TestParamInfo<EditorCase>& info) {
                             return std::string(info.param.name);
                         });

bool is_printable(int key) {
    return (key >= 0x20 && key <= 0x7e) || key >= 0x80;
}

// Every byte in the normal state with text "ab" and the cursor between a and b.
TEST(EditorNormalState, EveryByte) {
    for (int key = 0; key < 256; ++key) {
        SCOPED_TRACE(key);
        Editing e(128);
        e.setup("ab\x02");
        e.feed(std::string(1, static_cast<char>(key)));
        switch (key) {
        case 0x01: EXPECT_EQ(e.out, bs(1)); EXPECT_EQ(e.editor.cursor, 0u); break;
        case 0x02: EXPECT_EQ(e.out, bs(1)); EXPECT_EQ(e.editor.cursor, 0u); break;
        case 0x03: EXPECT_EQ(e.out, " <break>\n"); EXPECT_TRUE(e.ended); break;
        case 0x04: EXPECT_EQ(e.out, " " + bs(1)); EXPECT_EQ(e.text(), "a"); break;
        case 0x06: EXPECT_EQ(e.out, "b"); EXPECT_EQ(e.editor.cursor, 2u); break;
        case 0x08:
        case 0x7f: EXPECT_EQ(e.out, std::string{BS} + "b " + bs(2)); EXPECT_EQ(e.text(), "b"); break;
        case 0x0a:
        case 0x0d: EXPECT_EQ(e.out, "\n"); EXPECT_TRUE(e.ended); break;
        case 0x1b: EXPECT_EQ(e.out, ""); EXPECT_EQ(e.editor.escape, 1); break;
        default:
            if (is_printable(key)) {
                EXPECT_EQ(e.out, std::string(1, static_cast<char>(key)) + "b" + bs(1));
                EXPECT_EQ(e.text(), std::string("a") + static_cast<char>(key) + "b");
                EXPECT_EQ(e.editor.cursor, 2u);
            } else {
                EXPECT_EQ(e.out, std::string{BEL});
                EXPECT_EQ(e.text(), "ab");
                EXPECT_EQ(e.editor.cursor, 1u);
            }
        }
        const bool ends = key == 0x03 || key == 0x0a || key == 0x0d;
        EXPECT_EQ(e.ended, ends);
        EXPECT_EQ(e.editor.broken, key == 0x03);
    }
}

// After ESC, every byte except "[", BS and DEL does what it does alone.
TEST(EditorEscapeState, EveryOtherByteAsInNormalState) {
    for (int key = 0; key < 256; ++key) {
        if (key == '[' || key == 0x08 || key == 0x7f) continue;
        SCOPED_TRACE(key);
        Editing plain(128), escaped(128);
        plain.setup("abc\x02");
        escaped.setup("abc\x02\x1b");
        ASSERT_EQ(escaped.editor.escape, 1);
        const std::string k(1, static_cast<char>(key));
        plain.feed(k);
        escaped.feed(k);
        EXPECT_EQ(escaped.out, plain.out);
        EXPECT_EQ(escaped.text(), plain.text());
        EXPECT_EQ(escaped.editor.cursor, plain.editor.cursor);
        EXPECT_EQ(escaped.editor.escape, plain.editor.escape);
        EXPECT_EQ(escaped.ended, plain.ended);
    }
}

// After ESC "[", digits and ";" are skipped, C and D move, everything else
// ends the sequence with no output, no bell and no change.
TEST(EditorSequenceState, EveryByte) {
    for (int key = 0; key < 256; ++key) {
        SCOPED_TRACE(key);
        Editing e(128);
        e.setup("abc\x02\x1b[");
        ASSERT_EQ(e.editor.escape, 2);
        e.feed(std::string(1, static_cast<char>(key)));
        EXPECT_FALSE(e.ended);
        EXPECT_EQ(e.text(), "abc");
        if ((key >= '0' && key <= '9') || key == ';') {
            EXPECT_EQ(e.out, "");
            EXPECT_EQ(e.editor.escape, 2);
            EXPECT_EQ(e.editor.cursor, 2u);
        } else if (key == 'C') {
            EXPECT_EQ(e.out, "c");
            EXPECT_EQ(e.editor.cursor, 3u);
        } else if (key == 'D') {
            EXPECT_EQ(e.out, bs(1));
            EXPECT_EQ(e.editor.cursor, 1u);
        } else {
            EXPECT_EQ(e.out, "");
            EXPECT_EQ(e.editor.escape, 0);
            EXPECT_EQ(e.editor.cursor, 2u);
        }
    }
}

TEST(Editor, StartClearsPrefilledBuffer) {
    Editing e(16, 'Z');
    for (char c : e.buffer) EXPECT_EQ(c, '\0');
    e.feed("\r");
    EXPECT_EQ(e.out, "\n");
    EXPECT_EQ(e.text(), "");
}

TEST(Editor, SeventeenOfEighteenThenBellForEveryFurtherKey) {
    Editing e(18);
    const std::string seventeen = "00:11:22:33:44:55";
    e.feed(seventeen);
    EXPECT_EQ(e.out, seventeen);
    e.out.clear();
    e.feed("6789");
    EXPECT_EQ(e.out, std::string(4, BEL));
    EXPECT_EQ(e.text(), seventeen);
    EXPECT_EQ(e.buffer[17], '\0');
}

TEST(Editor, EndOfInputEndsLineInAnyState) {
    for (const char* setup : {"ab", "ab\x1b", "ab\x1b[", "ab\x1b[1;"}) {
        SCOPED_TRACE(setup);
        Editing e(32);
        e.setup(setup);
        std::string out;
        EXPECT_TRUE(e.editor.end_of_input(out));
        EXPECT_EQ(out, "\n");
        EXPECT_EQ(e.text(), "ab");
        EXPECT_FALSE(e.editor.broken);
    }
}

// ---- read_key and read_line with standard input replaced -------------------

// Puts `fd` in the place of standard input for one test and restores it.
class StdinSwap {
public:
    explicit StdinSwap(int fd) : saved_(dup(0)) { dup2(fd, 0); }
    ~StdinSwap() {
        dup2(saved_, 0);
        close(saved_);
    }
    StdinSwap(const StdinSwap&) = delete;
    StdinSwap& operator=(const StdinSwap&) = delete;

private:
    int saved_;
};

// Standard input from a pipe holding `bytes`, closed after them.
struct PipeInput {
    int read_end = -1;
    explicit PipeInput(const std::string& bytes) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        if (!bytes.empty() &&
            write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
        close(fds[1]);
        read_end = fds[0];
    }
    ~PipeInput() { close(read_end); }
    PipeInput(const PipeInput&) = delete;
    PipeInput& operator=(const PipeInput&) = delete;
};

// A hang of the code under test fails the test instead of stalling the run.
class Watchdog {
public:
    Watchdog() { alarm(10); }
    ~Watchdog() { alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
};

TEST(ReadKey, PipeBytesThenEnd) {
    Watchdog dog;
    PipeInput input(std::string("a\0\xe9", 3));
    StdinSwap swap(input.read_end);
    EXPECT_EQ(read_key(), 'a');
    EXPECT_FALSE(key_input_ended());
    EXPECT_EQ(read_key(), 0);  // a typed NUL
    EXPECT_FALSE(key_input_ended());
    EXPECT_EQ(read_key(), 0xe9);  // unsigned
    EXPECT_EQ(read_key(), 0);     // end of input
    EXPECT_TRUE(key_input_ended());
    EXPECT_EQ(read_key(), 0);
    EXPECT_TRUE(key_input_ended());
}

struct LineCase {
    const char* name;
    std::string input;
    std::size_t size;
    std::string text;
    std::string echo;
};

const LineCase LINE_CASES[] = {
    {"enter", "abc\r", 128, "abc", "abc\n"},
    {"stops_at_enter", "ab\rcd\r", 128, "ab", "ab\n"},
    {"end_of_input_ends_line", "abc", 128, "abc", "abc\n"},
    {"empty_input", "", 128, "", "\n"},
    {"end_inside_sequence", "ab\x1b[1", 128, "ab", "ab\n"},
    {"nul_is_not_the_end", std::string("a\0b\r", 4), 128, "ab", "a\ab\n"},
    {"ctrl_c_byte", "ab\x03", 128, "ab", "ab <break>\n"},
    {"edited", "abd\x02" "c\r", 128, "abcd", "abd\bcd\b\n"},
    {"full_then_end", "abcdef", 4, "abc", "abc\a\a\a\n"},
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadLineTable : public testing::TestWithParam<LineCase> {};

TEST_P(ReadLineTable, PipeAsStandardInput) {
    const LineCase& c = GetParam();
    Watchdog dog;
    PipeInput input(c.input);
    StdinSwap swap(input.read_end);
    std::string buffer(c.size, 'Z');  // prefilled: must not survive
    testing::internal::CaptureStdout();
    char* result = read_line(buffer.data(), c.size);
    const std::string echo = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, buffer.data());
    EXPECT_EQ(std::string(buffer.c_str()), c.text);
    for (std::size_t i = c.text.size(); i < c.size; ++i) {
        EXPECT_EQ(buffer[i], '\0') << i;
    }
    EXPECT_EQ(echo, c.echo);
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadLineTable, testing::ValuesIn(LINE_CASES),
                         [](const testing::TestParamInfo<LineCase>& info) {
                             return std::string(info.param.name);
                         });

// A pseudo-terminal whose slave side is standard input.
class PtyInput : public testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(slave_, &t), 0);
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_cc[VMIN] = 7;
        t.c_cc[VTIME] = 3;
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
        swap_ = new StdinSwap(slave_);
    }
    void TearDown() override {
        delete swap_;
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    void type(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master_ = -1;
    int slave_ = -1;
    StdinSwap* swap_ = nullptr;
};

TEST_F(PtyInput, KeyWithoutEnterNoEchoAndModeRestored) {
    Watchdog dog;
    // The key is typed while read_key waits, so the terminal's mode during
    // the wait decides whether it is echoed and whether Enter is needed.
    int key = -1;
    std::thread reader([&key] { key = read_key(); });
    usleep(100000);
    type("x");
    reader.join();
    EXPECT_EQ(key, 'x');
    EXPECT_FALSE(key_input_ended());
    termios after{};
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    EXPECT_TRUE(after.c_lflag & ICANON);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_TRUE(after.c_lflag & ISIG);
    EXPECT_EQ(after.c_cc[VMIN], 7);
    EXPECT_EQ(after.c_cc[VTIME], 3);
    char echoed[8];
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    EXPECT_LT(read(master_, echoed, sizeof echoed), 1) << "the key was echoed";
}

void on_alarm(int) {}

TEST_F(PtyInput, InterruptedWaitIsNotTheEnd) {
    struct sigaction action{};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the read ends with EINTR
    struct sigaction previous{};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    EXPECT_EQ(read_key(), 0);
    EXPECT_FALSE(key_input_ended());
    sigaction(SIGALRM, &previous, nullptr);
}

TEST_F(PtyInput, LineEndsWhenTerminalHangsUp) {
    Watchdog dog;
    type("ab");
    // Let the line discipline take the bytes before the master goes away.
    usleep(20000);
    close(master_);
    master_ = -1;
    char buffer[32];
    testing::internal::CaptureStdout();
    read_line(buffer, sizeof buffer);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(key_input_ended());
}

}  // namespace
