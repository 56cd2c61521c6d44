// Outside programs: shell quoting, checked through a real /bin/sh, with the
// shell call and the path test it relies on.
#include "platform/outside_programs.hpp"

#include <sys/wait.h>

#include "sim_test_support.hpp"

// Each text, quoted and handed to printf by a real shell, comes back
// unchanged, and nothing in it is run.
TEST(ShellQuote, HostileTextsSurviveTheShell) {
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    sim_test::TempDir dir;
    const std::string canary = dir.file("canary"), out = dir.file("out");
    const std::string texts[] = {
        "", "two  spaces\tand tab", "$(touch " + canary + ")", "`touch " + canary + "`", "; touch " + canary,
        "&& touch " + canary + " &", "| touch " + canary, "'; touch " + canary + "; echo '", "\"; touch " + canary,
        "'''", "\\'", "line\nbreak\n", "$HOME ${IFS} $0 $? $$", "* ? [a-z] ~", "%s %n", "-n", "!! # not a comment",
        "> " + canary, "\x01\x7f\xc3\xa9",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        int status = run_shell(("printf '%s' " + shell_quote(text) + " > " + out).c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(sim_test::read_text(out), text);
        EXPECT_FALSE(path_exists(canary.c_str()));
    }
    EXPECT_TRUE(path_exists(out.c_str()));
    int status = run_shell("exit 3");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
}
