// Multi-part posts: the subject's part marker, the bookkeeping of parts,
// the joining of yEnc and uuencoded parts into a file, and the harvest of a
// post against a scripted server (a part gone, then posted again).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "mime/mscrc32.h"
#include "mime/msuucode.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/partmarker.h"
#include "news/postcollector.h"
#include "news/postharvest.h"
#include "news/postjoin.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::FolderEntries;
using testing::ScriptServer;
using testing::WriteFileBytes;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// ---- an independent writer of the parts

std::string Hex(uint32_t value)
{
    return Format("%08x", value);
}

// One yEnc part of data (bytes begin..begin+size of the file), CR LF lines.
std::string YEncPart(const std::string& name, const std::string& file, int part, int total, size_t begin,
    size_t size, const std::string& pcrcOverride = "")
{
    const std::string piece = file.substr(begin, size);
    std::string text = "=ybegin part=" + std::to_string(part) + " total=" + std::to_string(total)
        + " line=128 size=" + std::to_string(file.size()) + " name=" + name + "\r\n";
    text += "=ypart begin=" + std::to_string(begin + 1) + " end=" + std::to_string(begin + size) + "\r\n";
    std::string line;
    for (const char byte : piece) {
        const auto c = static_cast<unsigned char>(static_cast<unsigned char>(byte) + 42);
        if (c == 0 || c == '\n' || c == '\r' || c == '=' || (line.empty() && c == '.')) {
            line += '=';
            line += char(c + 64);
        } else {
            line += char(c);
        }
        if (line.size() >= 128) {
            text += line + "\r\n";
            line.clear();
        }
    }
    if (!line.empty())
        text += line + "\r\n";
    const std::string pcrc = pcrcOverride.empty() ? Hex(Crc32(0, piece)) : pcrcOverride;
    text += "=yend size=" + std::to_string(size) + " part=" + std::to_string(part) + " pcrc32=" + pcrc
        + " crc32=" + Hex(Crc32(0, file)) + "\r\n";
    return text;
}

// The file's uuencoded lines, each CR LF ended.
Strings UULines(const std::string& file)
{
    Strings lines;
    for (size_t offset = 0; offset < file.size(); offset += 45)
        lines.push_back(EncodeUULine(std::string_view(file).substr(offset, 45)));
    return lines;
}

std::string Article(const std::string& subject, const std::string& body)
{
    return "Subject: " + subject + "\r\nFrom: poster@test\r\nLines: 200\r\n\r\n" + body;
}

// ---- the part marker

struct MarkerCase {
    const char* subject;
    int part;
    int total;
    const char* rest;
};

TEST(PartMarker, ReadsTheLastMarkerAndTakesItOut)
{
    const MarkerCase cases[] = {
        { "\"harbour.jpg\" yEnc (1/5)", 1, 5, "\"harbour.jpg\" yEnc " },
        { "[3/12] - \"a.jpg\" yEnc (2/7)", 2, 7, "[3/12] - \"a.jpg\" yEnc " },
        { "sunset [10/12] part", 10, 12, "sunset  part" },
        { "(0/5)", 0, 5, "" },
        { "x (1/1)", 1, 1, "x " },
        { "x (2/3) y (z/4)", 2, 3, "x  y (z/4)" },
    };
    for (const MarkerCase& c : cases) {
        const auto marker = ReadPartMarker(c.subject);
        ASSERT_TRUE(marker) << c.subject;
        EXPECT_EQ(marker->part, c.part) << c.subject;
        EXPECT_EQ(marker->total, c.total) << c.subject;
        EXPECT_EQ(marker->subject, c.rest) << c.subject;
    }
    for (const char* subject :
        { "", "sunset.jpg", "(1/)", "(/3)", "(1/3]", "1/3", "(1 /3)", "(1234567890/2)" })
        EXPECT_FALSE(ReadPartMarker(subject)) << subject;
    EXPECT_EQ(PostDisplayName("\"harbour.jpg\" yEnc "), "harbour.jpg");
    EXPECT_EQ(PostDisplayName("  big series "), "big series");
}

// ---- the bookkeeping

TPartMarker Marker(int part, int total, const std::string& subject = "\"a.jpg\" yEnc ")
{
    return { part, total, subject };
}

using TWhat = TPostCollector::TAdded::TWhat;

TEST(PostCollector, CompleteOnceEveryPartIsKnownWhateverTheOrder)
{
    TPostCollector posts;
    EXPECT_EQ(posts.Add(Marker(3, 3), "p", 10).what, TWhat::Noted);
    EXPECT_EQ(posts.Add(Marker(1, 3), "p", 11).what, TWhat::Noted);
    // Same subject, another poster or another count: other posts.
    EXPECT_EQ(posts.Add(Marker(2, 3), "q", 12).what, TWhat::Noted);
    EXPECT_EQ(posts.Add(Marker(2, 4), "p", 13).what, TWhat::Noted);
    const auto added = posts.Add(Marker(2, 3), "p", 14);
    ASSERT_EQ(added.what, TWhat::Complete);
    EXPECT_EQ(added.post->articles, (std::vector<std::vector<int32_t>> { { 11 }, { 14 }, { 10 } }));
    // A part posted twice is noted as a copy, and completes nothing again.
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 15).what, TWhat::Noted);
    EXPECT_EQ(added.post->articles[1], (std::vector<int32_t> { 14, 15 }));
    posts.ForgetArticle(*added.post, 2);
    EXPECT_EQ(added.post->articles[1], (std::vector<int32_t> { 15 }));
    posts.ForgetArticle(*added.post, 2);
    EXPECT_EQ(added.post->IncompleteReport(), "Incomplete: a.jpg, parts 2 of 3 missing");
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 16).what, TWhat::Complete);
}

TEST(PostCollector, RefusesHugePostsAndDropsTheOldestWaitingOne)
{
    TPostCollector posts(2);
    EXPECT_EQ(posts.Add(Marker(1, MaxPostParts + 1), "p", 1).what, TWhat::Refused);
    EXPECT_EQ(posts.Add(Marker(2, MaxPostParts + 1), "p", 2).what, TWhat::Noted);
    // The refused post goes quietly to make room.
    const auto first = posts.Add(Marker(1, 2, "first"), "p", 3);
    EXPECT_FALSE(first.dropped);
    const auto second = posts.Add(Marker(1, 2, "second"), "p", 4);
    EXPECT_FALSE(second.dropped);
    const auto third = posts.Add(Marker(1, 2, "third"), "p", 5);
    ASSERT_TRUE(third.dropped);
    EXPECT_EQ(third.dropped->subject, "first");
    EXPECT_EQ(posts.Count(), 2u);
}

// ---- the joining

class PostJoinerTest : public ::testing::Test {
protected:
    ScopedTempDir root;
    std::string partial = (root.Path() / "post.part").string();
    std::string file = RandomBytes(10000, 7);
};

TEST_F(PostJoinerTest, YEncPartsLandAtTheirOffsetsInAnyOrder)
{
    for (const bool reversed : { false, true }) {
        TPostJoiner joiner(partial, 1 << 20);
        const size_t starts[] = { 0, 4000, 8000 };
        for (int index = 0; index < 3; ++index) {
            const int part = reversed ? 3 - index : index + 1;
            const size_t begin = starts[part - 1];
            joiner.AddPart(part,
                Article("x",
                    "text before\r\n"
                        + YEncPart(
                            "a b.jpg", file, part, 3, begin, std::min<size_t>(4000, file.size() - begin))));
        }
        joiner.Finish();
        EXPECT_EQ(joiner.FileName(), "a b.jpg");
        EXPECT_EQ(joiner.Damage(), "") << reversed;
        EXPECT_EQ(ReadFileBytes(partial), file) << reversed;
    }
}

TEST_F(PostJoinerTest, DamageIsToldPerPartAndForTheWholeFile)
{
    TPostJoiner joiner(partial, 1 << 20);
    joiner.AddPart(1, Article("x", YEncPart("a.jpg", file, 1, 2, 0, 5000, "00000000")));
    // Part 2 comes one byte short: the file's size and CRC do not match.
    joiner.AddPart(2, Article("x", YEncPart("a.jpg", file.substr(0, 9999), 2, 2, 5000, 4999)));
    joiner.Finish();
    EXPECT_NE(joiner.Damage().find("part 1: CRC-32 00000000 announced"), std::string::npos)
        << joiner.Damage();
    EXPECT_NE(joiner.Damage().find("size 10000 announced, 9999 decoded"), std::string::npos)
        << joiner.Damage();
}

TEST_F(PostJoinerTest, RefusesWhatItCannotJoinAndRemovesItsFile)
{
    {
        TPostJoiner joiner(partial, 5000);
        EXPECT_THROW(joiner.AddPart(1, Article("x", YEncPart("a.jpg", file, 1, 2, 0, 5000))), EPostJoinError);
    }
    EXPECT_FALSE(fs::exists(partial));
    TPostJoiner joiner(partial, 1 << 20);
    EXPECT_THROW(joiner.AddPart(1, Article("x", "just text\r\n")), EPostJoinError);
}

TEST_F(PostJoinerTest, UUEncodeAcrossThreeArticlesSkipsWhatIsNoData)
{
    const Strings lines = UULines(file);
    const size_t third = lines.size() / 3;
    std::string bodies[3]
        = { "A picture in three parts\r\n\r\nbegin 644 three.gif\r\n", "Part two follows\r\n", "" };
    for (size_t index = 0; index < lines.size(); ++index)
        bodies[std::min<size_t>(index / third, 2)] += lines[index] + "\r\n";
    bodies[2] += "`\r\nend\r\nA signature line\r\n";
    TPostJoiner joiner(partial, 1 << 20);
    for (int part = 1; part <= 3; ++part)
        joiner.AddPart(part, Article("x", bodies[part - 1]));
    joiner.Finish();
    EXPECT_EQ(joiner.FileName(), "three.gif");
    EXPECT_EQ(joiner.Damage(), "");
    EXPECT_EQ(ReadFileBytes(partial), file);
}

TEST(UUDataLine, TellsDataFromText)
{
    EXPECT_TRUE(IsUUDataLine(EncodeUULine(std::string(45, 'x'))));
    EXPECT_TRUE(IsUUDataLine(EncodeUULine("abc")));
    for (const char* line : { "", "`", "end", "Part two follows", "begin 644 a.jpg", "Mshort" })
        EXPECT_FALSE(IsUUDataLine(line)) << line;
}

// ---- the harvest against a scripted server

class PostHarvestTest : public ::testing::Test {
protected:
    ScopedTempDir root;
    fs::path folder = root.Path() / "TEMP";
    std::shared_ptr<FakeGroup> group = std::make_shared<FakeGroup>();
    std::unique_ptr<ScriptServer> server;
    TmsArticle article;
    TmsNNTP client;
    std::unique_ptr<THarvest> harvest;
    Strings kept, incomplete, skipped;
    std::string file = RandomBytes(9000, 11);

    void SetUp() override
    {
        fs::create_directory(folder);
        group->overview = FakeGroup::Overview::Over;
        group->count = 0;
        client.UseOverview = true;
        client.SetWinsockLoaded(true);
        client.TimeOut = 5;
        client.SetArticle(&article);
        server = std::make_unique<ScriptServer>(
            [state = group](const std::string& command) { return state->Reply(command); }, "200 ready\r\n");
        client.Server = server->Address();
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

    void Post(int part)
    {
        const size_t begin = size_t(part - 1) * 3000;
        group->texts[++group->count] = Article("\"bay.jpg\" yEnc (" + std::to_string(part) + "/3)",
            YEncPart("bay.jpg", file, part, 3, begin, 3000));
    }

    void Walk()
    {
        client.SetNewsGroup(group->name);
        client.RetrieveHeaders(0, true);
    }
};

TEST_F(PostHarvestTest, PartGoneIsReportedOnceThenARepostCompletesThePost)
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

TEST_F(PostHarvestTest, WithoutJoiningPartsArePassedOver)
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

} // namespace
} // namespace lumigrab
