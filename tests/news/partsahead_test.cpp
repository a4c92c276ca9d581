// The parts of a multi-part post go through the client's pipeline like
// single-part pictures: named ahead by the harvest when the header that
// completes the post is read ahead, sent for in part order, and nothing on
// its way is dropped and fetched again.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mime/msuucode.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/postcollector.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::ScriptServer;
using Strings = std::vector<std::string>;
using Numbers = std::vector<int32_t>;
namespace fs = std::filesystem;

// ---- what the collector foresees

TPartMarker Part(int part, int total = 3, const std::string& subject = "\"a.jpg\" yEnc ")
{
    return { part, total, subject };
}

TEST(PostCollectorForesight, ForeseesTheCompletingPartWithoutRecordingIt)
{
    TPostCollector posts;
    posts.Add(Part(3), "p", 10);
    // Headers of one batch, foreseen in walk order before any is added.
    EXPECT_EQ(posts.Foresee(Part(1), "p", 11), Numbers {});
    EXPECT_EQ(posts.Foresee(Part(1), "q", 12), Numbers {});
    EXPECT_EQ(posts.Foresee(Part(1), "p", 13), Numbers {});
    EXPECT_EQ(posts.Foresee(Part(2), "p", 14), (Numbers { 11, 14, 10 }));
    // Complete already: a later copy completes nothing.
    EXPECT_EQ(posts.Foresee(Part(2), "p", 15), Numbers {});
    // Nothing was recorded: the events then add the headers one by one.
    ASSERT_EQ(posts.Waiting().size(), 1u);
    EXPECT_EQ(posts.Waiting().front()->MissingParts(), (std::vector<int> { 1, 2 }));
    posts.Add(Part(1), "p", 11);
    posts.Add(Part(1), "p", 13);
    EXPECT_EQ(posts.Add(Part(2), "p", 14).what, TPostCollector::TAdded::TWhat::Complete);
}

TEST(PostCollectorForesight, ANewWalkForgetsWhatWasForeseenAndNotAdded)
{
    TPostCollector posts;
    EXPECT_EQ(posts.Foresee(Part(1, 2), "p", 20), Numbers {});
    // A walk that ended before 20 was added; the next starts lower.
    EXPECT_EQ(posts.Foresee(Part(2, 2), "p", 5), Numbers {});
    EXPECT_EQ(posts.Foresee(Part(1, 2), "p", 6), (Numbers { 6, 5 }));
    // Huge or already refused posts are never fetched.
    EXPECT_EQ(posts.Foresee(Part(1, MaxPostParts + 1), "p", 7), Numbers {});
}

// ---- a harvest through the pipeline

// One group: single pictures ("s"), the parts of a three-part uuencoded post
// ("1".."3") and a second copy of a part ("2c"), in walk order.
struct GroupShape {
    const char* name;
    Strings articles;
    // Overview range size: 1 makes batches of PipelineDepth headers.
    int rangeSize = 1000;
    // The first copies of these parts are gone when fetched.
    Strings gone;
};

void PrintTo(const GroupShape& shape, std::ostream* out)
{
    *out << shape.name;
}

class PartsAheadTest : public ::testing::TestWithParam<GroupShape> {
protected:
    ScopedTempDir root;
    fs::path folder = root.Path() / "TEMP";
    std::shared_ptr<FakeGroup> group = std::make_shared<FakeGroup>();
    std::unique_ptr<ScriptServer> server;
    TmsArticle article;
    TmsNNTP client;
    std::unique_ptr<THarvest> harvest;
    Strings kept, skipped;
    std::string post = RandomBytes(9000, 21);
    std::map<std::string, std::string> singles;
    // ARTICLE commands the server received, per number.
    std::shared_ptr<std::map<int, int>> articleCommands = std::make_shared<std::map<int, int>>();
    std::shared_ptr<std::mutex> commandsLock = std::make_shared<std::mutex>();
    // What the client did, in order: "sent N" and "got N".
    Strings events;
    std::map<std::string, int> numbers;

    void SetUp() override
    {
        fs::create_directory(folder);
        group->overview = FakeGroup::Overview::Over;
        group->count = 0;
        for (const std::string& label : GetParam().articles)
            Post(label);
        for (const std::string& label : GetParam().gone)
            group->articleReplies[numbers.at(label)] = "430 No such article\r\n";
        server = std::make_unique<ScriptServer>(
            [state = group, counts = articleCommands, lock = commandsLock](const std::string& command) {
                if (command.starts_with("ARTICLE ")) {
                    const std::lock_guard<std::mutex> hold(*lock);
                    ++(*counts)[std::stoi(command.substr(8))];
                }
                return state->Reply(command);
            },
            "200 ready\r\n");
        client.UseOverview = true;
        client.OverviewRangeSize = GetParam().rangeSize;
        client.SetWinsockLoaded(true);
        client.TimeOut = 5;
        client.SetArticle(&article);
        client.Server = server->Address();
        client.OnLineSent = [this](TObject*, const std::string& line) {
            if (line.starts_with("ARTICLE "))
                events.push_back("sent " + line.substr(8));
        };
        client.OnArticleRetrieved
            = [this](TObject*) { events.push_back("got " + std::to_string(client.CurrentArticle())); };
        harvest = std::make_unique<THarvest>(client, folder.string());
        harvest->OnPictureKept = [this](const std::string& path) { kept.push_back(path); };
        harvest->OnArticleSkipped
            = [this](const std::string&, const std::string& reason) { skipped.push_back(reason); };
        client.OnNextHeaderRetrieved
            = [this](TObject*, int num) { harvest->HarvestHeader(client.HeaderList.Entries(num)); };
    }

    void Post(const std::string& label)
    {
        const int number = ++group->count;
        numbers[label] = number;
        if (label == "s") {
            const std::string name = "s" + std::to_string(number) + ".jpg";
            singles[name] = RandomBytes(2000, uint32_t(number));
            group->texts[number]
                = Article(name, "begin 644 " + name + "\r\n" + UULines(singles[name]) + "`\r\nend\r\n");
            return;
        }
        // The post uuencoded across its three articles, 3000 bytes each.
        const int part = label[0] - '0';
        const std::string body = UULines(post.substr(size_t(part - 1) * 3000, 3000));
        group->texts[number] = Article("\"bay.jpg\" (" + std::to_string(part) + "/3)",
            (part == 1 ? "begin 644 bay.jpg\r\n" : "") + body + (part == 3 ? "`\r\nend\r\n" : ""));
    }

    static std::string Article(const std::string& subject, const std::string& body)
    {
        return "Subject: " + subject + "\r\nFrom: poster@test\r\nLines: 200\r\n\r\n" + body;
    }

    static std::string UULines(std::string_view bytes)
    {
        std::string lines;
        for (size_t offset = 0; offset < bytes.size(); offset += 45)
            lines += EncodeUULine(bytes.substr(offset, 45)) + "\r\n";
        return lines;
    }

    size_t EventIndex(const std::string& event) const
    {
        const auto found = std::find(events.begin(), events.end(), event);
        return size_t(found - events.begin());
    }
};

TEST_P(PartsAheadTest, PartsArePipelinedAndNoArticleIsFetchedTwice)
{
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(0, true);

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

    // Every article the harvest uses, and a gone one, asked for once.
    for (const auto& [number, count] : *articleCommands)
        EXPECT_EQ(count, 1) << "ARTICLE " << number;
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
            "FirstCopyOfAPartGone", { "s", "1", "2", "s", "2c", "s", "3", "s", "s", "s" }, 1000, { "2" } }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
