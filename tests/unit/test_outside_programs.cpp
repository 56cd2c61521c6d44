// Outside programs: shell quoting through a real /bin/sh, the shell call, and the reboot routine.
#include "platform/outside_programs.hpp"

#include <signal.h>
#include <sys/wait.h>

#include "boot/boot_sequence.hpp"
#include "test_support.hpp"

namespace {

// Each text, quoted and handed to printf by a real shell, comes back unchanged, and nothing in it is run.
TEST(ShellQuote, HostileTextsSurviveTheShell) {
    unit::TempDir dir;
    const std::string canary = dir.file("canary"), out = dir.file("out");
    const std::string texts[] = {
        "", "two  spaces\tand tab", "$(touch " + canary + ")", "`touch " + canary + "`", "; touch " + canary,
        "'; touch " + canary + "; echo '", "\"; touch " + canary, "'''", "\\'", "line\nbreak\n",
        "$HOME ${IFS} $0", "* ? [a-z] ~", "-n", "> " + canary, "\x01\x7f\xc3\xa9",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const int status = run_shell(("printf '%s' " + shell_quote(text) + " > " + out).c_str());
        EXPECT_EQ(status, 0);
        EXPECT_EQ(unit::read_text(out), text);
        EXPECT_FALSE(path_exists(canary.c_str()));
    }
    EXPECT_TRUE(path_exists(out.c_str()));
    EXPECT_EQ(run_shell("exit 3"), 3 << 8);
}

// The reboot routine runs "reboot" and ends the process with status 0, also when the shell's result is
// negative (here: no child to wait for); then it says so on standard error. A reboot program that fails is
// not the shell failing.
TEST(RebootSystem, ExitsWithZero) {
    if (!unit::enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    unit::stand_in("reboot", "exit 1");
    unit::Board board;  // no waiting
    board.apply();
    const struct { bool reaped; const char *out, *err; } cases[] = {
        {false, "reboot\n", ""},
        {true, "reboot\n", "System reboot failed, please power-cycle.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        unit::Console console;
        const pid_t child = ::fork();
        if (child == 0) {
            if (c.reaped) ::signal(SIGCHLD, SIG_IGN);
            reboot_system();
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        const unit::Printed printed = console.finish();
        EXPECT_EQ(printed.out, c.out);
        EXPECT_EQ(printed.err, c.err);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(board.log(), "wait 1s\n");
        std::filesystem::remove(board.config.bus_log);
    }
}

}  // namespace
