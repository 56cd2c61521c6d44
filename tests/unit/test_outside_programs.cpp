// Outside programs: shell quoting (checked through a real /bin/sh), the shell
// call, process replacement and the path test.
#include "platform/outside_programs.hpp"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "sim_test_support.hpp"

namespace {

TEST(ShellQuote, ExactText) {
    struct Case {
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"", "''"},
        {"abc", "'abc'"},
        {"it's", "'it'\\''s'"},
        {"'", "''\\'''"},
        {"''", "''\\'''\\'''"},
        {"a b\tc", "'a b\tc'"},
        {std::string("a\0b", 3), "'ab'"},  // a NUL cannot travel in a command line
    };
    for (const Case& c : cases) EXPECT_EQ(shell_quote(c.text), c.quoted) << c.text;
}

// The quoted text, handed to printf by a real shell, comes back unchanged,
// and nothing in it is run.
TEST(ShellQuote, RoundTripThroughTheShell) {
    sim_test::TempDir dir;
    const std::string canary = dir.file("canary");
    const std::string hostile[] = {
        "plain",
        "",
        "two  spaces and\ttab",
        "$(touch " + canary + ")",
        "`touch " + canary + "`",
        "; touch " + canary,
        "&& touch " + canary + " &",
        "| touch " + canary,
        "'; touch " + canary + "; echo '",
        "\"; touch " + canary + "; echo \"",
        "it's",
        "'''",
        "\\",
        "\\'",
        "line\nbreak\n",
        "$HOME ${IFS} $0 $1 $? $$",
        "* ? [a-z] ~",
        "%s %d %n",
        "-n",
        "--",
        "!! !$",
        "# not a comment",
        "> " + canary,
        "\x01\x02\x7f\xc3\xa9",
    };
    const std::string out_file = dir.file("out");
    for (const std::string& text : hostile) {
        SCOPED_TRACE(text);
        std::string command = "printf '%s' " + shell_quote(text) + " > " + out_file;
        int status = run_shell(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(sim_test::read_text(out_file), text);
        EXPECT_FALSE(path_exists(canary.c_str()));
    }
}

TEST(RunShell, ReturnsTheShellStatus) {
    struct Case {
        const char* command;
        int exit_status;
    };
    const Case cases[] = {{"true", 0}, {"exit 3", 3}, {"false", 1}, {"/nonexistent/program 2>/dev/null", 127}};
    for (const Case& c : cases) {
        int status = run_shell(c.command);
        ASSERT_GE(status, 0) << c.command;
        ASSERT_TRUE(WIFEXITED(status)) << c.command;
        EXPECT_EQ(WEXITSTATUS(status), c.exit_status) << c.command;
    }
}

TEST(PathExists, Table) {
    sim_test::TempDir dir;
    sim_test::write_file(dir.file("file"), {1, 2, 3});
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("file").c_str(), dir.file("link").c_str()), 0);
    struct Case {
        std::string path;
        bool exists;
    };
    const Case cases[] = {
        {dir.file("file"), true},     {dir.path(), true},          {dir.file("link"), true},
        {dir.file("missing"), false}, {dir.file("dangling"), false}, {"", false},
        {dir.file("file/below"), false},
    };
    for (const Case& c : cases) EXPECT_EQ(path_exists(c.path.c_str()), c.exists) << c.path;
}

// Runs replace_process(path) in a child; returns the child's exit status,
// or 200 when replace_process returned.
int status_of_replaced_child(const char* path) {
    pid_t pid = ::fork();
    if (pid == 0) {
        replace_process(path);
        ::_exit(200);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReplaceProcess, RunsProgramWithArgumentZeroOnly) {
    sim_test::TempDir dir;
    const std::string script = dir.file("program");
    const std::string out = dir.file("out");
    const std::string body = "#!/bin/sh\nprintf '%s|%s|%s' \"$0\" \"$#\" \"$SLOTBOOT_TEST_MARK\" > " + out + "\nexit 42\n";
    sim_test::write_file(script, sim_test::Bytes(body.begin(), body.end()));
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    ::setenv("SLOTBOOT_TEST_MARK", "inherited", 1);
    EXPECT_EQ(status_of_replaced_child(script.c_str()), 42);
    ::unsetenv("SLOTBOOT_TEST_MARK");
    EXPECT_EQ(sim_test::read_text(out), script + "|0|inherited");
}

TEST(ReplaceProcess, ReturnsWhenTheProgramCannotStart) {
    sim_test::TempDir dir;
    sim_test::write_file(dir.file("not-executable"), {'#', '!'});
    EXPECT_EQ(status_of_replaced_child(dir.file("missing").c_str()), 200);
    EXPECT_EQ(status_of_replaced_child(dir.file("not-executable").c_str()), 200);
}

TEST(ReplaceProcess, SearchesPathForABareName) {
    EXPECT_EQ(status_of_replaced_child("true"), 0);
    EXPECT_EQ(status_of_replaced_child("false"), 1);
}

}  // namespace
