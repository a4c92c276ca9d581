// Fetching articles against a scripted server: the plain sequence's
// progress and dot-stuffed text, the one ARTICLE command of a client that
// walks with overview, and the articles asked for ahead during its walk
// (in order, held, dropped, missing, out of step, canceled, refused for want
// of a login).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::Capabilities;
using testing::FakeGroup;
using testing::HeaderNumbers;
using testing::NntpClientTest;
using testing::OverviewTest;
using testing::PrintTo;
using testing::RecordSentLines;
using testing::ReplyPause;
using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;
namespace fs = std::filesystem;

// ---- the plain sequence: STAT, HEAD, ARTICLE

TEST_F(NntpClientTest, ArticleReportsProgressOnlyWithAUsableLineCount)
{
    std::vector<int> percents;
    int retrieved = 0;
    client.OnProgress = [&](TObject*, int perc) { percents.push_back(perc); };
    client.OnArticleRetrieved = [&](TObject*) { ++retrieved; };
    SelectTestGroup();
    const auto sent = RecordSentLines(client);
    client.RetrieveArticleByNumber(3);
    EXPECT_EQ(*sent, (Strings { "STAT 3", "HEAD", "ARTICLE" }));
    EXPECT_FALSE(percents.empty());
    EXPECT_EQ(retrieved, 1);
    EXPECT_EQ(article.Subject(), "article 3");

    for (const char* headers : { "Subject: x\r\n", "Lines: many\r\n", "Lines: -4\r\n" }) {
        SCOPED_TRACE(headers);
        group->articleHeaders = headers;
        percents.clear();
        client.RetrieveArticleByNumber(2);
        EXPECT_TRUE(percents.empty());
        EXPECT_EQ(article.Body().Count(), 3);
    }
}

// yEnc lines that begin with a dot arrive doubled on the wire, in chunks
// that may cut such a line; the picture must come out exact.
TEST_F(NntpClientTest, DotStuffedYEncArticleDecodesExactly)
{
    const std::filesystem::path articles = std::filesystem::path(LUMIGRAB_FIXTURES_DIR) / "articles";
    const std::string text = ReadFileBytes(articles / "yenc_dot_lines.eml");
    std::string wire = "220 3 <3@test>\r\n";
    int dotLines = 0;
    ForEachLine(text, [&](std::string_view line) {
        if (line.starts_with('.')) {
            // Cut the doubled dot from the rest of its line.
            wire += std::string(".") + std::string(ReplyPause) + std::string(line);
            ++dotLines;
        } else {
            wire += line;
        }
        wire += "\r\n";
    });
    ASSERT_GT(dotLines, 0);
    group->overrides["ARTICLE"] = wire + ".\r\n";
    SelectTestGroup();
    client.RetrieveArticleByNumber(3);
    ASSERT_EQ(article.Attachments().Count(), 1);
    const TmsAttItem& picture = article.Attachments().Items(0);
    EXPECT_EQ(picture.FileName(), "dots.jpg");
    EXPECT_EQ(picture.Damage(), "");
    EXPECT_TRUE(picture.Stream.View() == ReadFileBytes(articles / "yenc_dot_lines.expected" / "dots.jpg"));
}

// ---- one ARTICLE command

struct FetchCase {
    const char* name;
    std::string headers;
    bool walkFirst;
    bool progress;
};

class OneCommandFetchTest : public OverviewTest, public ::testing::WithParamInterface<FetchCase> { };

TEST_P(OneCommandFetchTest, SendsOneArticleWithTheLineCountFromTheEntryOrTheArticle)
{
    const FetchCase& c = GetParam();
    group->articleHeaders = c.headers;
    std::vector<int> percents;
    int retrieved = 0;
    client.OnProgress = [&](TObject*, int perc) { percents.push_back(perc); };
    client.OnArticleRetrieved = [&](TObject*) { ++retrieved; };
    client.SetNewsGroup(group->name);
    if (c.walkFirst)
        client.RetrieveHeaders(0, true);
    transcript.clear();
    client.RetrieveArticleByNumber(3);
    EXPECT_EQ(Sent(), Strings { "ARTICLE 3" });
    EXPECT_EQ(retrieved, 1);
    EXPECT_EQ(client.CurrentArticle(), 3);
    EXPECT_EQ(article.Subject(), "article 3");
    EXPECT_EQ(article.Body().Count(), 3);
    EXPECT_EQ(!percents.empty(), c.progress);
}

INSTANTIATE_TEST_SUITE_P(Headers, OneCommandFetchTest,
    ::testing::Values(FetchCase { "FromTheEntry", "Lines: 3\r\n", true, true },
        FetchCase { "FromTheArticlesHeaderBlock", "Lines: 3\r\n", false, true },
        FetchCase { "NoLineCount", "X-Note: none\r\n", false, false },
        FetchCase { "NoUsableLineCount", "Lines: -4\r\n", true, false }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OverviewTest, MissingArticleIsNoSuchArticle)
{
    client.SetNewsGroup(group->name);
    client.RetrieveArticleByNumber(2);
    ExpectRaises<ENoSuchArticle>(
        [&] { client.RetrieveArticleByNumber(11); }, "423 no such article number in this group");
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(article.Subject(), "article 2");
    EXPECT_EQ(client.CurrentArticle(), 2);
}

// ---- articles asked for ahead

std::string PictureArticle(const std::string& name, const std::string& bytes)
{
    return "Subject: " + name + "\r\nLines: 200\r\n\r\n"
        + Join(Concat({ { "begin 644 " + name + ".jpg" }, UULines(bytes), { "`", "end" } }));
}

class PipelineTest : public OverviewTest {
protected:
    ScratchFolder folder;
    THarvest harvest { client, folder.Path().string() };
    // Each picture has bytes of its own: the folder keeps a picture once.
    std::map<std::string, std::string> pictures;
    Strings kept;
    Strings events;
    Strings skipped;

    void SetUp() override
    {
        OverviewTest::SetUp();
        // Pictures among text articles.
        for (int number : { 2, 3, 5, 6, 8, 9 }) {
            const std::string name = "p" + std::to_string(number);
            pictures[name] = RandomBytes(2000, unsigned(number));
            group->texts[number] = PictureArticle(name, pictures[name]);
        }
        harvest.OnPictureKept = [this](const std::string& path) {
            kept.push_back(fs::path(path).stem());
            EXPECT_EQ(ReadFileBytes(path), pictures[kept.back()]);
        };
        harvest.OnArticleSkipped = [this](const std::string& subject, const std::string& reason) {
            skipped.push_back(subject + ": " + reason);
        };
        client.OnArticleRetrieved = [this](TObject*) { events.push_back("article " + article.Subject()); };
        client.OnNextHeaderRetrieved = [this](TObject*, int num) {
            events.push_back("header " + std::to_string(client.HeaderList.Entries(num).Number));
            harvest.HarvestHeader(client.HeaderList.Entries(num));
        };
        client.SetNewsGroup(group->name);
        ForgetTranscript();
    }
};

TEST_F(PipelineTest, ArticlesAreAskedForAheadAndArriveInOrder)
{
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, (Strings { "p2", "p3", "p5", "p6", "p8", "p9" }));
    EXPECT_EQ(events,
        (Strings { "header 1", "header 2", "article p2", "header 3", "article p3", "header 4", "header 5",
            "article p5", "header 6", "article p6", "header 7", "header 8", "article p8", "header 9",
            "article p9", "header 10" }));
    // The first four went out together, before any article arrived; later
    // ones while earlier ones were read.
    EXPECT_EQ(OutstandingWhenSent("ARTICLE 6"), 3);
    EXPECT_GT(OutstandingWhenSent("ARTICLE 8"), 1);
    EXPECT_EQ(MostOutstanding(), 4);
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(skipped.empty());
}

// Pictures of the ranges answered are fetched before a later range's error
// ends the walk.
TEST_F(PipelineTest, LaterRangeErrorKeepsThePicturesBeforeIt)
{
    client.OverviewRangeSize = 4;
    group->overrides["OVER 5-8"] = "503 overview not available\r\n";
    ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(0, true); }, "503 overview not available");
    EXPECT_EQ(kept, (Strings { "p2", "p3" }));
    EXPECT_EQ(client.LastHeaderNumber(), 4);
    EXPECT_TRUE(client.Connected());
}

struct HeldRangeCase {
    const char* name;
    // The second range's reply; nothing: its overview lines.
    std::optional<std::string> reply;
    Strings kept;
    std::string error;
};

class HeldRangeTest : public PipelineTest, public ::testing::WithParamInterface<HeldRangeCase> { };

// The server answers the later ranges of the round only once ARTICLE for a
// picture of the first range has come: a client that waited for the whole
// round before asking for an article would wait until its time-out. The
// article's reply comes behind those ranges and is still matched to it.
TEST_P(HeldRangeTest, ArticleGoesOutWhileTheLaterRangesAreOwed)
{
    const HeldRangeCase& c = GetParam();
    auto owed = std::make_shared<std::string>();
    auto released = std::make_shared<bool>(false);
    StartServer("200 ready\r\n",
        [state = group, owed, released, held = c.reply](
            const std::string& command) -> std::optional<std::string> {
            if (!*released && (command == "OVER 5-8" || command == "OVER 9-13")) {
                *owed += command == "OVER 5-8" && held ? *held : *state->Reply(command);
                return std::string();
            }
            if (!*released && command == "ARTICLE 2") {
                *released = true;
                return *owed + *state->Reply(command);
            }
            return state->Reply(command);
        });
    client.Close();
    group->name = "lumigrab.held";
    client.SetNewsGroup(group->name);
    client.OverviewRangeSize = 4;
    const auto harvestHeader = client.OnNextHeaderRetrieved;
    client.OnNextHeaderRetrieved = [&](TObject* sender, int num) {
        transcript.push_back("header " + std::to_string(client.HeaderList.Entries(num).Number));
        harvestHeader(sender, num);
    };
    transcript.clear();
    if (c.error.empty())
        client.RetrieveHeaders(0, true);
    else
        ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(0, true); }, c.error);
    EXPECT_EQ(kept, c.kept);
    // The first range's headers went to the harvest before the second
    // range's reply was read.
    const auto header2 = std::find(transcript.begin(), transcript.end(), "header 2");
    const auto laterReply = std::find_if(header2, transcript.end(),
        [](const std::string& line) { return line.starts_with("< 224") || line.starts_with("< 503"); });
    EXPECT_NE(laterReply, transcript.end());
    EXPECT_EQ(errors, c.error.empty() ? Strings {} : Strings { c.error });
    client.SetCurrentArticle(7);
    EXPECT_EQ(client.LastReply, "223 7 <7@test>");
}

INSTANTIATE_TEST_SUITE_P(LaterRanges, HeldRangeTest,
    ::testing::Values(HeldRangeCase { "Answered", std::nullopt, { "p2", "p3", "p5", "p6", "p8", "p9" }, "" },
        HeldRangeCase {
            "Failing", "503 overview not available\r\n", { "p2", "p3" }, "503 overview not available" }),
    [](const auto& info) { return std::string(info.param.name); });

// Entries the harvest is done with are freed; numbering and the harvest go
// on as with every entry kept.
TEST_F(PipelineTest, RetentionKeepsTheLastEntriesOnly)
{
    client.HeaderList.SetRetention(2);
    std::vector<int> indexes;
    const auto harvestHeader = client.OnNextHeaderRetrieved;
    client.OnNextHeaderRetrieved = [&](TObject* sender, int num) {
        indexes.push_back(num);
        harvestHeader(sender, num);
    };
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, (Strings { "p2", "p3", "p5", "p6", "p8", "p9" }));
    EXPECT_EQ(indexes, (std::vector<int> { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 }));
    EXPECT_EQ(client.HeaderList.Count(), 10);
    EXPECT_EQ(client.HeaderList.FirstKept(), 8);
    EXPECT_EQ(client.HeaderList.Entries(9).Number, 10);
    EXPECT_TRUE(errors.empty());
}

TEST_F(PipelineTest, MissingArticleInThePipelineIsReportedInItsPlace)
{
    group->missing = { 5 };
    group->listedButGone = { 5 };
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, (Strings { "p2", "p3", "p6", "p8", "p9" }));
    EXPECT_EQ(skipped, Strings { "p5: Gone from the server (423 no such article number in this group)" });
    EXPECT_EQ(errors, Strings { "423 no such article number in this group" });
    EXPECT_EQ(client.HeaderList.Count(), 10);
    EXPECT_TRUE(client.Connected());
}

// A handler that fetches fewer articles than predicted leaves replies that
// nobody reads; they are read and dropped before the next command.
TEST_F(PipelineTest, ArticlesNotAskedForAreDropped)
{
    client.OnNextHeaderRetrieved = [this](TObject*, int num) {
        const TmsNgInfoItem& header = client.HeaderList.Entries(num);
        if (header.Number % 3 == 0)
            harvest.HarvestHeader(header);
    };
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, (Strings { "p3", "p6", "p9" }));
    client.SetCurrentArticle(7);
    EXPECT_EQ(client.LastReply, "223 7 <7@test>");
    EXPECT_TRUE(errors.empty());
}

// An article read and dropped is checked like one asked for: a reply about
// another article there is just as much out of step.
TEST_F(PipelineTest, DroppedArticleOutOfStepEndsTheWalk)
{
    group->overrides["ARTICLE 2"] = "220 3 <3@test>\r\n" + FakeGroup::DotStuffed(group->texts[3]) + ".\r\n";
    client.OnNextHeaderRetrieved = [this](TObject*, int num) {
        const TmsNgInfoItem& header = client.HeaderList.Entries(num);
        if (header.Number % 3 == 0)
            harvest.HarvestHeader(header);
    };
    ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(0, true); },
        "Reply out of step: asked for article 2, the server answered for 3");
    EXPECT_TRUE(kept.empty());
    EXPECT_FALSE(client.Connected());
}

struct CancelCase {
    const char* name;
    // Cancels when this header's event fires, or when this picture is kept.
    TArticleNumber atHeader;
    std::string atPicture;
    Strings kept;
    TArticleNumber lastHeader;
};

class PipelineCancelTest : public PipelineTest, public ::testing::WithParamInterface<CancelCase> { };

TEST_P(PipelineCancelTest, StopsAtOnceAndClosesTheConnection)
{
    const CancelCase& c = GetParam();
    harvest.OnPictureKept = [&](const std::string& path) {
        kept.push_back(fs::path(path).stem());
        if (kept.back() == c.atPicture)
            client.Cancel();
    };
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        const TmsNgInfoItem& header = client.HeaderList.Entries(num);
        harvest.HarvestHeader(header);
        if (header.Number == c.atHeader)
            client.Cancel();
    };
    client.OverviewRangeSize = 4;
    EXPECT_THROW(client.RetrieveHeaders(0, true), ECanceledError);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(client.LastHeaderNumber(), c.lastHeader);
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(errors.empty());

    // A new connection asks the server afresh.
    transcript.clear();
    group->name = "lumigrab.other";
    client.OnNextHeaderRetrieved = nullptr;
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(HeaderNumbers(client), Numbers { 1 });
    EXPECT_EQ(Sent(), Concat({ Capabilities, { "OVER 1-4" } }));
}

INSTANTIATE_TEST_SUITE_P(Moments, PipelineCancelTest,
    ::testing::Values(CancelCase { "InTheMiddleOfARange", 7, "", { "p2", "p3", "p5", "p6" }, 7 },
        CancelCase { "WhileArticlesAreOnTheirWay", 0, "p3", { "p2", "p3" }, 3 }),
    [](const auto& info) { return std::string(info.param.name); });

struct LoginCase {
    const char* name;
    // The commands refused with 480 until the session logs in.
    Strings refused;
};

class PipelineLoginTest : public PipelineTest, public ::testing::WithParamInterface<LoginCase> { };

// A session that wants a login in the middle of the pipeline: the replies
// of everything sent ahead are read first, AUTHINFO goes alone, and what
// was refused is asked for once more.
TEST_P(PipelineLoginTest, LogsInOnceAndAsksAgain)
{
    auto loggedIn = std::make_shared<bool>(false);
    StartServer("200 ready\r\n",
        [state = group, loggedIn, refused = GetParam().refused](
            const std::string& command) -> std::optional<std::string> {
            if (command == "AUTHINFO USER reader")
                return std::string("381 password please\r\n");
            if (command == "AUTHINFO PASS secret") {
                *loggedIn = true;
                return std::string("281 welcome\r\n");
            }
            const std::string word = command.substr(0, command.find(' '));
            if (!*loggedIn && std::find(refused.begin(), refused.end(), word) != refused.end())
                return std::string("480 login first\r\n");
            return state->Reply(command);
        });
    client.Close();
    client.UserName = "reader";
    client.Password = "secret";
    client.OverviewRangeSize = 4;
    group->name = "lumigrab.login";
    client.SetNewsGroup(group->name);
    *loggedIn = false;
    ForgetTranscript();
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, (Strings { "p2", "p3", "p5", "p6", "p8", "p9" }));
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }));
    EXPECT_EQ(OutstandingWhenSent("AUTHINFO USER"), 0);
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "> AUTHINFO USER reader"), 1);
    const Strings& refused = GetParam().refused;
    const bool overRefused = std::find(refused.begin(), refused.end(), "OVER") != refused.end();
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "> OVER 1-4"), overRefused ? 2 : 1);
    EXPECT_TRUE(errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Refusals, PipelineLoginTest,
    ::testing::Values(
        LoginCase { "Articles", { "ARTICLE" } }, LoginCase { "OverviewAndArticles", { "OVER", "ARTICLE" } }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
