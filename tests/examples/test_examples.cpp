// Every example program runs to its end in this test's namespaces and exits with 0.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/zqtest.h"

namespace {

#ifdef ZQ_EXAMPLES_DIR
constexpr bool EXAMPLES_BUILT = true;
const std::string EXAMPLE_DIR = ZQ_EXAMPLES_DIR;
const std::string CONFIG_FILE = ZQ_CONFIG_FILE;
#else
constexpr bool EXAMPLES_BUILT = false;
const std::string EXAMPLE_DIR;
const std::string CONFIG_FILE;
#endif

constexpr int EXAMPLE_TIMEOUT_MS = 30000;

struct ExampleCase {
    const char* name;
    bool withConfig; // takes the example configuration file as its argument
    const char* lastLine;
};

const ExampleCase EXAMPLES[] = {
    {"loan_shm", false, "loan_shm: 5 of 5 messages"},
    {"json_config", true, "json_config: read 41 bytes \"hello from a JSON-configured participant\""},
    {"callback_reader", false, "callback_reader: all messages arrived"},
};

void PrintTo(const ExampleCase& example, std::ostream* os)
{
    *os << example.name;
}

class ExampleNsTest : public zqtest::NsTest, public ::testing::WithParamInterface<ExampleCase> {};

TEST_P(ExampleNsTest, RunsToTheEndAndExitsWithZero)
{
    if (!EXAMPLES_BUILT) {
        GTEST_SKIP() << "examples are not built (ZQDDS_BUILD_EXAMPLES=OFF)";
    }
    const ExampleCase& example = GetParam();
    std::vector<std::string> argv{EXAMPLE_DIR + "/" + example.name};
    if (example.withConfig) {
        argv.push_back(CONFIG_FILE);
    }
    std::string error;
    auto child = zqtest::ChildProcess::spawn(argv, &error);
    ASSERT_TRUE(child) << error;
    ASSERT_NE(child->wait(EXAMPLE_TIMEOUT_MS), -1) << "still running:\n" << child->output();
    const std::string& out = child->output();
    EXPECT_EQ(child->exitCode(), 0) << out;
    EXPECT_NE(out.find(example.lastLine), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleNsTest, ::testing::ValuesIn(EXAMPLES),
                         [](const ::testing::TestParamInfo<ExampleCase>& param) {
                             return std::string(param.param.name);
                         });

} // namespace
