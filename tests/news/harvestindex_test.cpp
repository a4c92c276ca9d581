// The picture folder's index of what was harvested into it.
#include "news/harvestindex.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/filenames.h"
#include "nntp_test_support.h"
#include "tests/support/allocation_watch.h"
#include "tests/support/tiny_filesystem.h"

namespace lumigrab {
namespace {

using testing::WriteFileBytes;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

class FolderIndexTest : public ::testing::Test {
protected:
    ScratchFolder root;
    fs::path folder = root.Path() / "TEMP";
    fs::path file = folder / ".lumigrab-index";

    void SetUp() override { fs::create_directory(folder); }
};

TEST_F(FolderIndexTest, RecordsEachArticleOnALineAndAnotherInstanceFindsThem)
{
    {
        TFolderIndex index(folder.string());
        EXPECT_FALSE(index.Contains("<1@test>"));
        EXPECT_FALSE(fs::exists(file)); // asking writes nothing
        index.Record("<1@test>", { "a.jpg", "b-1.gif" });
        index.Record("<2@test>", {});
        index.Record("<3@test>", { "tab\there.jpg" });
        EXPECT_TRUE(index.Contains("<1@test>"));
        EXPECT_TRUE(index.Contains("<2@test>"));
        EXPECT_EQ(index.Path(), file.string());
    }
    EXPECT_EQ(ReadFileBytes(file), "<1@test>\ta.jpg\tb-1.gif\n<2@test>\n<3@test>\ttab_here.jpg\n");
    TFolderIndex again(folder.string());
    for (const char* id : { "<1@test>", "<2@test>", "<3@test>" })
        EXPECT_TRUE(again.Contains(id)) << id;
    for (const char* id : { "<4@test>", "<1@TEST>", "a.jpg", "<1@test" })
        EXPECT_FALSE(again.Contains(id)) << id;
    again.Record("<4@test>", { "c.jpg" });
    EXPECT_EQ(ReadFileBytes(file).substr(ReadFileBytes(file).rfind("<4")), "<4@test>\tc.jpg\n");
}

TEST_F(FolderIndexTest, UnusableIdsAreNeitherRecordedNorFound)
{
    TFolderIndex index(folder.string());
    const std::string longest(MaxMessageIdBytes, 'x');
    for (const std::string& id : Strings { "", "<a b@test>", "<a\tb@test>", "<a\nb@test>", "<a\rb@test>",
             std::string("<a\0b@test>", 10), longest + "y" }) {
        index.Record(id, { "a.jpg" });
        EXPECT_FALSE(index.Contains(id)) << id;
    }
    EXPECT_FALSE(fs::exists(file));
    index.Record(longest, {});
    EXPECT_TRUE(index.Contains(longest));
}

struct LoadCase {
    const char* name;
    std::string text;
    Strings found;
    Strings notFound;
    // What the file holds after one more record, "<new@test>".
    std::string after;
};

using testing::PrintTo;

class IndexLoadTest : public FolderIndexTest, public ::testing::WithParamInterface<LoadCase> { };

// Loading holds a chunk of the file and the ids, never a line beyond the
// bounds of an id and its names, however long: no block of memory beyond
// this is taken (seen where the allocations can be watched).
constexpr size_t LargestLoadingBlock = size_t(2) << 20;

TEST_P(IndexLoadTest, CompleteLinesCountATornLastLineGoes)
{
    const LoadCase& c = GetParam();
    WriteFileBytes(file, c.text);
    TFolderIndex index(folder.string());
    const std::optional<size_t> largest
        = testing::LargestAllocationDuring([&] { index.Contains("<warm-up@test>"); });
    if (largest) {
        EXPECT_LE(*largest, LargestLoadingBlock);
    }
    for (const std::string& id : c.found)
        EXPECT_TRUE(index.Contains(id)) << id;
    for (const std::string& id : c.notFound)
        EXPECT_FALSE(index.Contains(id)) << id;
    index.Record("<new@test>", {});
    EXPECT_EQ(ReadFileBytes(file), c.after);
}

INSTANTIATE_TEST_SUITE_P(Texts, IndexLoadTest,
    ::testing::Values(LoadCase { "Empty", "", {}, { "<1@test>" }, "<new@test>\n" },
        LoadCase { "TornId", "<1@test>\ta.jpg\n<2@te", { "<1@test>" }, { "<2@te", "<2@test>" },
            "<1@test>\ta.jpg\n<new@test>\n" },
        LoadCase { "TornName", "<1@test>\ta.jpg\n<2@test>\tb.j", { "<1@test>" }, { "<2@test>" },
            "<1@test>\ta.jpg\n<new@test>\n" },
        LoadCase { "OnlyATornLine", "<1@test>", {}, { "<1@test>" }, "<new@test>\n" },
        LoadCase { "JunkLinesAreSkipped", "\n\t\n<x y>\n\t<1@test>\n<2@test>\r\n<3@test>\n", { "<3@test>" },
            { "<1@test>", "<2@test>" }, "\n\t\n<x y>\n\t<1@test>\n<2@test>\r\n<3@test>\n<new@test>\n" },
        LoadCase { "RepeatedIds", "<1@test>\ta.jpg\n<1@test>\ta-1.jpg\n", { "<1@test>" }, {},
            "<1@test>\ta.jpg\n<1@test>\ta-1.jpg\n<new@test>\n" },
        // No file name is longer than MaxFileNameBytes: such a line is junk.
        LoadCase { "NameBeyondItsBound",
            "<1@test>\t" + std::string(255, 'n') + "\n<2@test>\ta.jpg\t" + std::string(256, 'n')
                + "\tb.jpg\n",
            { "<1@test>" }, { "<2@test>" },
            "<1@test>\t" + std::string(255, 'n') + "\n<2@test>\ta.jpg\t" + std::string(256, 'n')
                + "\tb.jpg\n<new@test>\n" },
        // Junk that never ends its line, as a broken disk may leave: it is
        // not held, and goes as a torn line does.
        LoadCase { "LongJunkWithoutALineFeed", "<1@test>\ta.jpg\n" + std::string(24 << 20, 'j'),
            { "<1@test>" }, {}, "<1@test>\ta.jpg\n<new@test>\n" },
        LoadCase { "LongJunkLines",
            std::string(12 << 20, 'j') + "\n<1@test>\t" + std::string(12 << 20, 'n') + "\n<2@test>\n",
            { "<2@test>" }, { "<1@test>" },
            std::string(12 << 20, 'j') + "\n<1@test>\t" + std::string(12 << 20, 'n')
                + "\n<2@test>\n<new@test>\n" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FolderIndexTest, AnIndexThatCannotBeReadIsAnError)
{
    fs::create_directory(file);
    TFolderIndex index(folder.string());
    ExpectRaises<EInOutError>(
        [&] { index.Contains("<1@test>"); }, "Cannot read " + file.string() + ": Is a directory");
}

struct PlantedCase {
    const char* name;
    // Puts something that is no regular file in the index's place;
    // false where the system does not let the test make it.
    std::function<bool(const fs::path& file)> plant;
    std::string reason;
};

void PrintTo(const PlantedCase& c, std::ostream* os)
{
    *os << c.name;
}

class PlantedIndexTest : public FolderIndexTest, public ::testing::WithParamInterface<PlantedCase> { };

// Neither reading nor recording waits on what was planted. Should either
// wait on a named pipe, the other end, opened and closed again and again
// after a while, lets it go on, and the test fails rather than hangs.
TEST_P(PlantedIndexTest, IsAnErrorAndNeverWaitedOn)
{
    const PlantedCase& c = GetParam();
    if (!c.plant(file))
        GTEST_SKIP() << "cannot make a " << c.name << " here";
    const auto oldPipeAction = std::signal(SIGPIPE, SIG_IGN);
    std::atomic<bool> done { false };
    std::thread release([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!done) {
            const int end = ::open(file.c_str(), O_RDWR | O_NONBLOCK);
            if (end >= 0)
                ::close(end);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    TFolderIndex index(folder.string());
    ExpectRaises<EInOutError>(
        [&] { index.Contains("<1@test>"); }, "Cannot read " + file.string() + ": " + c.reason);
    ExpectRaises<EInOutError>([&] { TFolderIndex(folder.string()).Record("<1@test>", { "a.jpg" }); },
        "Cannot read " + file.string() + ": " + c.reason);
    done = true;
    release.join();
    std::signal(SIGPIPE, oldPipeAction);
}

INSTANTIATE_TEST_SUITE_P(Entries, PlantedIndexTest,
    ::testing::Values(
        PlantedCase { "NamedPipe", [](const fs::path& file) { return ::mkfifo(file.c_str(), 0600) == 0; },
            "not a regular file" },
        // A copy of /dev/null: read, it would end at once and look empty.
        PlantedCase { "Device",
            [](const fs::path& file) { return ::mknod(file.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0; },
            "not a regular file" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FolderIndexTest, ALinkInPlaceOfTheIndexIsNeverWrittenThrough)
{
    const fs::path outside = root.Path() / "outside";
    WriteFileBytes(outside, "precious\n");
    fs::create_symlink(outside, file);
    TFolderIndex index(folder.string());
    EXPECT_THROW(index.Record("<1@test>", {}), EInOutError);
    EXPECT_EQ(ReadFileBytes(outside), "precious\n");
}

// A line the full disk cuts short is taken back; earlier lines stay.
TEST_F(FolderIndexTest, AFullDiskIsADiskFullErrorAndLeavesNoHalfLine)
{
    const auto outcome = testing::RunOnTinyFileSystem(folder, 4096, false, [&] {
        TFolderIndex index(folder.string());
        const std::string names(1000, 'n');
        std::string seen;
        try {
            for (int i = 0; i < 100; ++i)
                index.Record(std::to_string(i) + "@test", { names });
            seen = "nothing raised";
        } catch (const EDiskFullError& error) {
            seen = error.Message();
        }
        const std::string text = ReadFileBytes(file);
        const size_t lines = size_t(std::count(text.begin(), text.end(), '\n'));
        seen += text.empty() || text.back() == '\n' ? "; whole lines" : "; a half line";
        seen += lines == TFolderIndex(folder.string()).Ids().Count() ? "; all found" : "; lines lost";
        return seen;
    });
    if (!outcome)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(
        *outcome, "Cannot write " + file.string() + ": No space left on device; whole lines; all found");
}

// A kept picture's digest line loads beside the article lines; a digest
// line torn or spoilt is passed over, and none names an article.
TEST_F(FolderIndexTest, KeepsThePicturesDigestsBesideTheArticles)
{
    const TSha256Digest harbour = TSha256().Update("harbour").Finish();
    const TSha256Digest sunset = TSha256().Update("sunset").Finish();
    const std::string key = DigestKey(harbour);
    EXPECT_EQ(key.size(), 7u + 64u);
    struct Case {
        const char* name;
        std::string text;
        bool harbourKept;
    };
    const Case cases[] = {
        { "a digest line", "<1@test>\ta.jpg\n" + key + "\ta.jpg\n", true },
        { "torn", key + "\ta.j", false },
        { "a hex digit short", key.substr(0, key.size() - 1) + "\ta.jpg\n", false },
        { "upper case", "sha256 " + std::string(64, 'A') + "\ta.jpg\n", false },
        { "no digest lines", "<1@test>\ta.jpg\n", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(file, c.text);
        TFolderIndex index(folder.string());
        EXPECT_EQ(index.Kept(harbour), c.harbourKept);
        EXPECT_FALSE(index.Contains(key));
        index.RecordKept(sunset, "sunset.jpg");
        EXPECT_TRUE(TFolderIndex(folder.string()).Kept(sunset));
    }
    EXPECT_EQ(ReadFileBytes(file), "<1@test>\ta.jpg\n" + DigestKey(sunset) + "\tsunset.jpg\n");
}

TEST(MessageIdSet, HoldsManyIdsExactlyAndCompactly)
{
    TMessageIdSet ids;
    constexpr int Count = 100000;
    const auto idOf = [](int i) { return "<part" + std::to_string(i) + "of1.x@news.example.org>"; };
    for (int i = 0; i < Count; ++i)
        ASSERT_TRUE(ids.Insert(idOf(i))) << i;
    EXPECT_FALSE(ids.Insert(idOf(7)));
    EXPECT_FALSE(ids.Insert("no id"));
    EXPECT_EQ(ids.Count(), size_t(Count));
    for (int i = 0; i < Count; ++i)
        ASSERT_TRUE(ids.Contains(idOf(i))) << i;
    for (int i = Count; i < 2 * Count; ++i)
        ASSERT_FALSE(ids.Contains(idOf(i))) << i;
    // The ids' own bytes (about 30 each) and a table of 8 bytes a slot at
    // most half full, plus growth room.
    EXPECT_LT(ids.MemoryBytes(), size_t(Count) * 96);
}

TEST(IndexText, ReadsUpToTheLastCompleteLine)
{
    TMessageIdSet ids;
    EXPECT_EQ(ReadIndexText("<1@t>\ta\n<2@t>\n<3@", ids), 14u);
    EXPECT_EQ(ids.Count(), 2u);
    EXPECT_EQ(ReadIndexText("", ids), 0u);
    EXPECT_EQ(ReadIndexText("no line end", ids), 0u);
    EXPECT_EQ(ids.Count(), 2u);
}

} // namespace
} // namespace lumigrab
