// The harvest of multi-part posts against a scripted server: a part gone,
// then posted again; parts sent for ahead like single-part pictures, none
// fetched twice.
#include "news/postharvest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "news/harvest.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "post_test_support.h"

namespace lumigrab {
namespace {

using testing::Article;
using testing::FakeGroup;
using testing::FolderEntries;
using testing::WriteFileBytes;
using testing::YEncPart;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// A harvest into root/TEMP of a scripted group with an overview, whose
// articles each test posts; records what the harvest reports.
class PostHarvestTest : public testing::ScriptedNewsTest {
protected:
    ScratchFolder root;
    fs::path folder = root.Path() / "TEMP";
    std::unique_ptr<THarvest> harvest;
    Strings kept, incomplete, skipped;

    void SetUp() override
    {
        fs::create_directory(folder);
        group->overview = FakeGroup::Overview::Over;
        group->count = 0;
        client.UseOverview = true;
        StartServer("200 ready\r\n");
    }

    void StartHarvest()
    {
        harvest = std::make_unique<THarvest>(client, folder.string());
        harvest->OnPictureKept = [this](const std::string& path) { kept.push_back(path); };
        harvest->OnPostIncomplete = [this](const std::string& report) { incomplete.push_back(report); };
        harvest->OnArticleSkipped
            = [this](const std::string&, const std::string& reason) { skipped.push_back(reason); };
        client.OnNextHeaderRetrieved
            = [this](TObject*, int num) { harvest->HarvestHeader(client.HeaderList.Entries(num)); };
        client.OnLastHeaderRetrieved = [this](TObject*) { harvest->ReportIncompletePosts(); };
    }

    void Walk()
    {
        client.SetNewsGroup(group->name);
        client.RetrieveHeaders(0, true);
    }
};

class YEncPostHarvestTest : public PostHarvestTest {
protected:
    std::string file = RandomBytes(9000, 11);

    void Post(int part)
    {
        const size_t begin = size_t(part - 1) * 3000;
        group->texts[++group->count] = Article("\"bay.jpg\" yEnc (" + std::to_string(part) + "/3)",
            YEncPart("bay.jpg", file, part, 3, begin, 3000));
    }
};

TEST_F(YEncPostHarvestTest, PartGoneIsReportedOnceThenARepostCompletesThePost)
{
    // Left by a harvest that crashed: gone when the next one starts.
    fs::create_directory(folder / PartialFolderName);
    WriteFileBytes(folder / PartialFolderName / "post-1.part", "stale");
    StartHarvest();
    EXPECT_FALSE(fs::exists(folder / PartialFolderName));
    for (int part : { 1, 2, 3 })
        Post(part);
    group->articleReplies[2] = "430 No such article\r\n";
    Walk();
    EXPECT_EQ(kept, Strings {});
    EXPECT_EQ(incomplete, Strings { "Incomplete: bay.jpg, parts 2 of 3 missing" });
    EXPECT_EQ(FolderEntries(folder), Strings {});

    Post(2);
    Walk();
    ASSERT_EQ(kept, Strings { (folder / "bay.jpg").string() });
    EXPECT_EQ(ReadFileBytes(folder / "bay.jpg"), file);
    EXPECT_EQ(incomplete.size(), 1u);
    EXPECT_EQ(skipped, Strings {});
}

TEST_F(YEncPostHarvestTest, WithoutJoiningPartsArePassedOver)
{
    StartHarvest();
    harvest->JoinParts = false;
    for (int part : { 1, 2, 3 })
        Post(part);
    Walk();
    EXPECT_EQ(kept, Strings {});
    EXPECT_EQ(incomplete, Strings {});
    EXPECT_EQ(FolderEntries(folder), Strings {});
}

// ---- parts through the client's pipeline: named ahead by the harvest when
// the header that completes the post is read ahead, sent for in part order,
// and nothing on its way dropped and fetched again

// One group: single pictures ("s"), the parts of a three-part uuencoded post
// ("1".."3"), a second copy of a part ("2c") and the post's description
// ("0", a picture itself, its "(0/3)" beyond the first 255 characters of a
// long subject), in walk order.
struct GroupShape {
    const char* name;
    Strings articles;
    // Overview range size: 1 makes batches of PipelineDepth headers.
    int rangeSize = 1000;
    // The first copies of these parts are gone when fetched.
    Strings gone;
};

using testing::PrintTo;

class PartsAheadTest : public PostHarvestTest, public ::testing::WithParamInterface<GroupShape> {
protected:
    std::string post = RandomBytes(9000, 21);
    std::map<std::string, std::string> singles;
    // What the client did, in order: "sent N" (an ARTICLE command) and "got N".
    Strings events;
    std::map<std::string, int> numbers;

    void SetUp() override
    {
        PostHarvestTest::SetUp();
        for (const std::string& label : GetParam().articles)
            Post(label);
        for (const std::string& label : GetParam().gone)
            group->articleReplies[numbers.at(label)] = "430 No such article\r\n";
        client.OverviewRangeSize = GetParam().rangeSize;
        client.OnLineSent = [this](TObject*, const std::string& line) {
            if (line.starts_with("ARTICLE "))
                events.push_back("sent " + line.substr(8));
        };
        client.OnArticleRetrieved
            = [this](TObject*) { events.push_back("got " + std::to_string(client.CurrentArticle())); };
        StartHarvest();
    }

    void Post(const std::string& label)
    {
        const int number = ++group->count;
        numbers[label] = number;
        if (label == "s") {
            const std::string name = "s" + std::to_string(number) + ".jpg";
            singles[name] = RandomBytes(2000, uint32_t(number));
            group->texts[number]
                = Article(name, "begin 644 " + name + "\r\n" + Join(UULines(singles[name])) + "`\r\nend\r\n");
            return;
        }
        if (label == "0") {
            group->texts[number] = Article(std::string(300, '-') + " \"bay.jpg\" (0/3)",
                "begin 644 about.jpg\r\n" + Join(UULines(RandomBytes(2000, 99))) + "`\r\nend\r\n");
            return;
        }
        // The post uuencoded across its three articles, 3000 bytes each.
        const int part = label[0] - '0';
        const std::string body = Join(UULines(std::string_view(post).substr(size_t(part - 1) * 3000, 3000)));
        group->texts[number] = Article("\"bay.jpg\" (" + std::to_string(part) + "/3)",
            (part == 1 ? "begin 644 bay.jpg\r\n" : "") + body + (part == 3 ? "`\r\nend\r\n" : ""));
    }

    size_t EventIndex(const std::string& event) const
    {
        return size_t(std::find(events.begin(), events.end(), event) - events.begin());
    }
};

TEST_P(PartsAheadTest, PartsArePipelinedAndNoArticleIsFetchedTwice)
{
    Walk();

    Strings expectedKept { (folder / "bay.jpg").string() };
    for (const auto& [name, bytes] : singles)
        expectedKept.push_back((folder / name).string());
    std::sort(kept.begin(), kept.end());
    std::sort(expectedKept.begin(), expectedKept.end());
    EXPECT_EQ(kept, expectedKept);
    EXPECT_EQ(ReadFileBytes(folder / "bay.jpg"), post);
    for (const auto& [name, bytes] : singles)
        EXPECT_EQ(ReadFileBytes(folder / name), bytes) << name;
    EXPECT_EQ(skipped, Strings {});
    EXPECT_EQ(incomplete, Strings {});

    // Every article the harvest uses, and a gone one, asked for once.
    for (const std::string& event : events) {
        if (event.starts_with("sent ")) {
            EXPECT_EQ(std::count(events.begin(), events.end(), event), 1) << event;
        }
    }
    // The third part is on its way before the first one is read.
    EXPECT_LT(EventIndex("sent " + std::to_string(numbers["3"])),
        EventIndex("got " + std::to_string(numbers["1"])));
}

INSTANTIATE_TEST_SUITE_P(GroupShapes, PartsAheadTest,
    ::testing::Values(
        GroupShape { "PostInsideOneBatch", { "s", "1", "s", "2", "s", "3", "s", "s" }, 1000, {} },
        GroupShape { "PartsOutOfOrder", { "s", "3", "s", "1", "s", "2", "s", "s" }, 1000, {} },
        GroupShape {
            "PostSpanningBatches", { "1", "s", "s", "s", "s", "2", "s", "s", "s", "3", "s", "s" }, 1, {} },
        GroupShape {
            "FirstCopyOfAPartGone", { "s", "1", "2", "s", "2c", "s", "3", "s", "s", "s" }, 1000, { "2" } },
        GroupShape { "DescriptionMarkedFarIntoItsSubject", { "s", "0", "1", "s", "2", "3", "s" }, 1000, {} }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
