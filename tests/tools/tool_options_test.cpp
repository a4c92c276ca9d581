// What both command-line tools answer to --help and --version: the text on
// standard output, nothing on standard error, and success, as GNU tools do,
// so that an installed copy's --help does not read as a failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_util.h"
#include "tests/support/tool_files.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

struct OptionCase {
    const char* name;
    const char* tool;
    const char* option;
    // How standard output begins.
    std::string printed;
};

void PrintTo(const OptionCase& c, std::ostream* os)
{
    *os << c.tool << " " << c.option;
}

class ToolOptionTest : public ::testing::TestWithParam<OptionCase> { };

TEST_P(ToolOptionTest, PrintsOnStandardOutputAndSucceeds)
{
    const OptionCase& c = GetParam();
    const fs::path tool = testing::ToolPath(c.tool);
    ASSERT_TRUE(fs::exists(tool)) << "build " << c.tool << " first";
    ScratchFolder scratch;
    const testing::ToolRun run
        = testing::RunCommand(testing::ShellQuote(tool.string()) + " " + c.option, scratch.Path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with(c.printed)) << run.out;
    EXPECT_TRUE(run.out.ends_with("\n")) << run.out;
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolOptionTest,
    ::testing::Values(OptionCase { "DecodeVersion", "lumigrab-decode", "--version",
                          "lumigrab-decode " LUMIGRAB_VERSION "\n" },
        OptionCase { "HarvestHelp", "lumigrab-harvest", "--help", "usage: lumigrab-harvest --server HOST" },
        OptionCase { "HarvestHelpAfterOtherOptions", "lumigrab-harvest", "--server h --group x --help",
            "usage: lumigrab-harvest --server HOST" },
        OptionCase {
            "HarvestVersion", "lumigrab-harvest", "--version", "lumigrab-harvest " LUMIGRAB_VERSION "\n" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
