// The env-setup scan: tokens in pairs, the 511-character pieces, overwrite.
#include "boot/env_setup.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

int scan_text(const std::string& text) {
    std::unique_ptr<std::FILE, FileCloser> f(std::tmpfile());
    if (!f) return -1;
    std::fwrite(text.data(), 1, text.size(), f.get());
    std::rewind(f.get());
    return apply_env_setup(f.get());
}

using Vars = std::vector<std::pair<std::string, std::string>>;

struct ScanCase {
    std::string name;
    std::string text;
    int names;
    Vars expected;        // each must be set to exactly this value
    std::vector<std::string> absent;
};

const std::string kLong600 = "ES_L" + std::string(596, 'a');  // 600 characters

std::vector<ScanCase> scan_cases() {
    return {
        {"two pairs on one line", "ES_A 1 ES_B 2\n", 2, {{"ES_A", "1"}, {"ES_B", "2"}}, {}},
        {"one token per line", "ES_A\n1\nES_B\n2\n", 2, {{"ES_A", "1"}, {"ES_B", "2"}}, {}},
        {"tabs, CR and runs of blanks", "\t ES_A \t\r\n  x=y\r\n", 1, {{"ES_A", "x=y"}}, {}},
        {"odd count: last name gets the empty value", "ES_A 1 ES_B", 2,
         {{"ES_A", "1"}, {"ES_B", ""}}, {}},
        {"no final newline", "ES_A 1", 1, {{"ES_A", "1"}}, {}},
        {"empty file", "", 0, {}, {"ES_A"}},
        {"blanks only", " \n\t\n ", 0, {}, {"ES_A"}},
        {"token of 600 splits into 511 and 89", kLong600 + " ES_B 2\n", 2,
         {{kLong600.substr(0, 511), kLong600.substr(511)}, {"ES_B", "2"}}, {}},
        {"long value: its tail becomes the next name", "ES_A " + std::string(520, 'v') + " 7\n", 2,
         {{"ES_A", std::string(511, 'v')}, {std::string(9, 'v'), "7"}}, {}},
        {"token of exactly 511 stays whole", "ES_A " + std::string(511, 'w'), 1,
         {{"ES_A", std::string(511, 'w')}}, {}},
        {"a later pair overwrites an earlier one", "ES_A 1 ES_A 2", 2, {{"ES_A", "2"}}, {}},
    };
}

void clear_vars() {
    for (const char* v : {"ES_A", "ES_B"}) unsetenv(v);
}

TEST(ApplyEnvSetup, ScansPairsToTheEnd) {
    for (const ScanCase& c : scan_cases()) {
        SCOPED_TRACE(c.name);
        clear_vars();
        EXPECT_EQ(scan_text(c.text), c.names);
        for (const auto& [name, value] : c.expected) {
            const char* got = std::getenv(name.c_str());
            ASSERT_NE(got, nullptr) << name.substr(0, 20);
            EXPECT_EQ(std::string(got), value);
            unsetenv(name.c_str());
        }
        for (const std::string& name : c.absent) EXPECT_EQ(std::getenv(name.c_str()), nullptr);
    }
}

TEST(ApplyEnvSetup, OverwritesAVariableThatAlreadyExists) {
    setenv("ES_A", "old", 1);
    EXPECT_EQ(scan_text("ES_A new\n"), 1);
    ASSERT_NE(std::getenv("ES_A"), nullptr);
    EXPECT_STREQ(std::getenv("ES_A"), "new");
    unsetenv("ES_A");
}

TEST(ApplyEnvSetup, EmptyValueOverwritesToo) {
    setenv("ES_B", "old", 1);
    EXPECT_EQ(scan_text("ES_B"), 1);
    ASSERT_NE(std::getenv("ES_B"), nullptr);
    EXPECT_STREQ(std::getenv("ES_B"), "");
    unsetenv("ES_B");
}

}  // namespace
