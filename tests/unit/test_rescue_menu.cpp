// Tests of the Rescue Mode menu driven through a pipe as standard input, with
// its output captured: listing, echo, unknown letters, NUL, the catch-all
// branch, V, E, the Ctrl-C flag and the end of input.
#include "console/rescue_menu.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <unistd.h>

#include "boot/boot_sequence.hpp"

namespace {

const std::string ENTERING = "Entering Rescue Mode.\n";
const std::string LISTING =
    "Please select one of the following options:\n"
    "\tT) Configure networking and tftp download an image\n"
    "\tX) Use xmodem 1K to serial download an image\n"
    "\tR) Reboot\n"
    "\tE) Exit\n";
const std::string PROMPT = "\nOption? : ";

std::string echo(char key) {
    return std::string(1, key) + "\n";
}

// Runs the menu with `keys` waiting on standard input, followed by its end.
struct MenuRun {
    int result = -1;
    std::string output;
};

MenuRun run_menu(const std::string& keys) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    if (!keys.empty() &&
        write(fds[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        std::abort();
    close(fds[1]);
    const int saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);

    alarm(10);  // a menu that never returns fails the test
    MenuRun run;
    testing::internal::CaptureStdout();
    run.result = rescue_menu();
    run.output = testing::internal::GetCapturedStdout();
    alarm(0);

    dup2(saved, 0);
    close(saved);
    return run;
}

struct MenuCase {
    const char* name;
    std::string keys;
    std::string output;
};

void PrintTo(const MenuCase& c, std::ostream* os) {
    *os << c.name;
}

const MenuCase MENU_CASES[] = {
    {"exit", "E", ENTERING + LISTING + PROMPT + echo('E')},
    {"exit_lower_case", "e", ENTERING + LISTING + PROMPT + echo('e')},
    {"unknown_lower_q", "qE",
     ENTERING + LISTING + PROMPT + echo('q') + "unknown option \"Q\". Please try again\n" +
         PROMPT + echo('E')},
    {"enter_alone", "\rE",
     ENTERING + LISTING + PROMPT + echo('\r') + "unknown option \"\r\". Please try again\n" +
         PROMPT + echo('E')},
    {"high_byte", "\xe9" "E",
     ENTERING + LISTING + PROMPT + echo('\xe9') + "unknown option \"\xe9\". Please try again\n" +
         PROMPT + echo('E')},
    {"nul_key_silent", std::string("\0E", 2),
     ENTERING + LISTING + PROMPT + echo('\0') + PROMPT + echo('E')},
    {"u_catch_all", "uE",
     ENTERING + LISTING + PROMPT + echo('u') + "Unknown option 85. Quitting\n" + LISTING +
         PROMPT + echo('E')},
    {"end_of_input_leaves", "",
     ENTERING + LISTING + PROMPT + echo('\0')},
    {"end_after_unknown", "z",
     ENTERING + LISTING + PROMPT + echo('z') + "unknown option \"Z\". Please try again\n" +
         PROMPT + echo('\0')},
};

class MenuTable : public testing::TestWithParam<MenuCase> {};

TEST_P(MenuTable, ExactConsole) {
    const MenuCase& c = GetParam();
    break_requested.store(0);
    const MenuRun run = run_menu(c.keys);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, c.output);
}

INSTANTIATE_TEST_SUITE_P(Keys, MenuTable, testing::ValuesIn(MENU_CASES),
                         [](const testing::TestParamInfo<MenuCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Menu, VersionsThenListingWithoutEntering) {
    break_requested.store(0);
    const MenuRun run = run_menu("vE");
    EXPECT_EQ(run.result, 1);
    const std::string head = ENTERING + LISTING + PROMPT + echo('v');
    ASSERT_EQ(run.output.substr(0, head.size()), head);
    const std::size_t report = run.output.find("Installed images versions: \n", head.size());
    ASSERT_NE(report, std::string::npos) << run.output;
    const std::size_t last = run.output.find("\tOS image 2  : ", report);
    ASSERT_NE(last, std::string::npos);
    const std::size_t after = run.output.find('\n', last) + 1;
    EXPECT_EQ(run.output.substr(after), LISTING + PROMPT + echo('E'));
    EXPECT_EQ(run.output.find(ENTERING, 1), std::string::npos);
}

TEST(Menu, FlagSetAtTheKeyReadDropsTheKeyAndClearsIt) {
    // As if Ctrl-C had come while the key was awaited: the key read is
    // echoed, then dropped without a message, and the prompt comes again.
    break_requested.store(1);
    const MenuRun run = run_menu("ME");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, ENTERING + LISTING + PROMPT + echo('M') + PROMPT + echo('E'));
    EXPECT_EQ(break_requested.load(), 0);
}

}  // namespace
