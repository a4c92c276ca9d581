// Where each group's walk stopped, per server, kept across runs in the
// picture folder.
#include "news/walkpositions.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/sysutils.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

class WalkPositionsTest : public ::testing::Test {
protected:
    ScratchFolder root;
    std::string folder = root.Path().string() + "/";
    fs::path file = root.Path() / TWalkPositions::FileName;

    void Plant(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
};

// What a run finds of what the file holds, as a previous run (or a crash,
// or a stranger) left it.
TEST_F(WalkPositionsTest, FindsWhatTheFileHolds)
{
    struct Case {
        const char* name;
        std::string file;
        std::optional<uint64_t> found; // of news.example:119 a.b.pics
    };
    const Case cases[] = {
        { "none kept", "", std::nullopt },
        { "kept", "news.example:119 a.b.pics 4294967296\n", 4294967296u },
        { "the last line of a name holds", "news.example:119 a.b.pics 10\nnews.example:119 a.b.pics 20\n", 20 },
        { "another server's is not this one's", "other:119 a.b.pics 10\nnews.example:563 a.b.pics 11\n",
            std::nullopt },
        { "a line torn by a crash is none", "news.example:119 a.b.pics 30\nnews.example:119 a.b.pics 4", 30 },
        { "junk is skipped", "junk\n\n news.example:119 a.b.pics 5\nnews.example:119 a.b.pics -5\n"
                             "news.example:119 a.b.pics 18446744073709551616\nnews.example:119 a.b.pics 7\n",
            7 },
        { "upper case is no line of ours", "NEWS.example:119 a.b.pics 9\n", std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plant(c.file);
        TWalkPositions positions(folder);
        EXPECT_EQ(positions.Find("News.Example:119", "A.B.Pics"), c.found);
    }
}

TEST_F(WalkPositionsTest, KeptPositionsReachTheNextRunAndTheOldestGo)
{
    std::string full;
    for (size_t i = 0; i < TWalkPositions::MaxEntries; ++i)
        full += "news.example:119 group" + std::to_string(i) + " " + std::to_string(i) + "\n";
    Plant(full);
    {
        TWalkPositions positions(folder);
        positions.Keep("news.example:119", "a.b.pics", 100);
        positions.Keep("news.example:119", "a.b.pics", 18446744073709551615u);
    }
    TWalkPositions next(folder);
    EXPECT_EQ(next.Find("news.example:119", "a.b.pics"), 18446744073709551615u);
    EXPECT_EQ(next.Find("news.example:119", "group1"), 1u);
    EXPECT_EQ(next.Find("news.example:119", "group0"), std::nullopt) << "the oldest went";
    const std::string kept = ReadFileBytes(file);
    EXPECT_EQ(size_t(std::count(kept.begin(), kept.end(), '\n')), TWalkPositions::MaxEntries);
    EXPECT_FALSE(fs::exists(file.string() + ".new"));
}

// A FIFO planted under the name would hold the walk for ever.
TEST_F(WalkPositionsTest, WhatIsNoRegularFileIsRefused)
{
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    TWalkPositions positions(folder);
    EXPECT_THROW(positions.Find("news.example:119", "a.b.pics"), EInOutError);
}

} // namespace
} // namespace lumigrab
