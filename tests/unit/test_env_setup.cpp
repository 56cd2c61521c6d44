// The env-setup scan: tokens in pairs, pieces of 511 characters, overwrite.
#include "boot/env_setup.hpp"

#include "test_support.hpp"

namespace {

TEST(ApplyEnvSetup, ScansPairsToTheEnd) {
    const std::string long600 = "ES_L" + std::string(596, 'a');
    const struct { std::string text; int names; std::vector<std::pair<std::string, std::string>> vars; } cases[] = {
        {"ES_A 1 ES_B 2\n", 2, {{"ES_A", "1"}, {"ES_B", "2"}}},
        {"ES_A 1 ES_B", 2, {{"ES_A", "1"}, {"ES_B", ""}}},  // an odd count: the last name gets ""
        {" \n", 0, {{"ES_A", "old"}}},
        {"\tES_A\v1\r\nES_B\f2", 2, {{"ES_A", "1"}, {"ES_B", "2"}}},  // every kind of white space
        {long600 + " ES_B 2", 2, {{long600.substr(0, 511), long600.substr(511)}, {"ES_B", "2"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        setenv("ES_A", "old", 1);
        unsetenv("ES_B");
        EXPECT_EQ(apply_env_setup(unit::file_with({c.text.begin(), c.text.end()}).get()), c.names);
        for (const auto& [name, value] : c.vars) EXPECT_STREQ(std::getenv(name.c_str()), value.c_str());
    }
}

}  // namespace
