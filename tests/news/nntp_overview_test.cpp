// Overview walks, one-command fetches and articles asked for ahead, against
// a scripted server with OVER, with XOVER only, or without overview: the
// exact commands, the order of what arrives and the walk's ends.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/overview.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::HeaderNumbers;
using testing::PrintTo;
using testing::RecordSentLines;
using Overview = FakeGroup::Overview;
using Strings = std::vector<std::string>;
using Numbers = std::vector<int32_t>;
namespace fs = std::filesystem;

class OverviewTest : public testing::ScriptedNewsTest {
protected:
    // "> command" and "< reply" in the order sent and received.
    Strings transcript;

    void SetUp() override
    {
        group->count = 10;
        group->overview = Overview::Over;
        client.UseOverview = true;
        client.OnLineSent = [this](TObject*, const std::string& line) { transcript.push_back("> " + line); };
        client.OnLineReceived
            = [this](TObject*, const std::string& line) { transcript.push_back("< " + line); };
        StartServer("200 ready\r\n");
    }

    // The client's farewell comes after the transcript is gone.
    void TearDown() override
    {
        client.OnLineSent = nullptr;
        client.OnLineReceived = nullptr;
    }

    Strings Sent() const
    {
        Strings sent;
        for (const std::string& line : transcript) {
            if (line.starts_with("> ") && !line.starts_with("> GROUP"))
                sent.push_back(line.substr(2));
        }
        return sent;
    }

    // Commands sent whose replies had not come yet, at the moment the first
    // line starting with prefix was sent; -1 when none was.
    int OutstandingWhenSent(const std::string& prefix) const
    {
        int outstanding = 0;
        for (const std::string& line : transcript) {
            if (line.starts_with("> " + prefix))
                return outstanding;
            outstanding += line.starts_with("> ") ? 1 : -1;
        }
        return -1;
    }

    // Forgets what was sent and received so far, but for the commands whose
    // replies are still owed on the connection (since its greeting): the
    // counts above stay right.
    void ForgetTranscript()
    {
        const auto greeting = std::find(transcript.rbegin(), transcript.rend(), "< 200 ready");
        const long owed = std::count_if(transcript.rbegin(), greeting, [](const std::string& line) {
            return line.starts_with("> ");
        }) - std::count_if(transcript.rbegin(), greeting, [](const std::string& line) {
            return line.starts_with("< ");
        });
        transcript.assign(size_t(owed), "> (sent before)");
    }

    int MostOutstanding() const
    {
        int outstanding = 0, most = 0;
        for (const std::string& line : transcript) {
            outstanding += line.starts_with("> ") ? 1 : -1;
            most = std::max(most, outstanding);
        }
        return most;
    }
};

// ---- walks: ranges, gaps, counts and the group's end

struct WalkCase {
    const char* name;
    Overview overview;
    int groupSize;
    int rangeSize;
    std::set<int> missing;
    int count;
    int walks;
    Numbers headers;
    Strings sent;
    int lastSignals;
    int32_t startBeforeEnd = 0;
};

class OverviewWalkTest : public OverviewTest, public ::testing::WithParamInterface<WalkCase> { };

TEST_P(OverviewWalkTest, TakesTheHeadersInRanges)
{
    const WalkCase& c = GetParam();
    group->overview = c.overview;
    group->missing = c.missing;
    group->count = c.groupSize;
    client.OverviewRangeSize = c.rangeSize;
    client.StartBeforeEnd = c.startBeforeEnd;
    int lastSignals = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++lastSignals; };
    Numbers seen;
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        seen.push_back(client.HeaderList.Entries(num).Number);
        EXPECT_EQ(client.CurrentArticle(), seen.back());
    };
    client.SetNewsGroup(group->name);
    for (int walk = 0; walk < c.walks; ++walk) {
        const int before = client.HeaderList.Count();
        client.RetrieveHeaders(c.count, true);
        if (c.count > 0 && walk + 1 < c.walks) {
            EXPECT_EQ(client.HeaderList.Count() - before, c.count) << "walk " << walk;
        }
    }
    EXPECT_EQ(HeaderNumbers(client), c.headers);
    EXPECT_EQ(seen, c.headers);
    EXPECT_EQ(client.LastHeaderNumber(), c.headers.back());
    EXPECT_EQ(Sent(), c.sent);
    EXPECT_EQ(lastSignals, c.lastSignals);
    EXPECT_TRUE(errors.empty());
}

const Strings Capabilities = { "CAPABILITIES", "LIST OVERVIEW.FMT" };

// The numbers first to last, and more.
std::set<int> Gap(int first, int last, std::set<int> more = {})
{
    for (int number = first; number <= last; ++number)
        more.insert(number);
    return more;
}

INSTANTIATE_TEST_SUITE_P(Servers, OverviewWalkTest,
    ::testing::Values(
        // Three ranges at once after the format; the last one reaches past
        // the group's end and so shows it.
        WalkCase { "RangesSentTogether", Overview::Over, 10, 4, {}, 0, 1, { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 },
            Concat({ Capabilities, { "OVER 1-4", "OVER 5-8", "OVER 9-13" } }), 1 },
        // A round of ten empty ranges makes the next ones wider.
        WalkCase { "GapsWiderThanARound", Overview::Over, 50, 2, Gap(1, 20, Gap(23, 49)), 0, 1,
            { 21, 22, 50 },
            Concat({ Capabilities,
                { "OVER 1-2", "OVER 3-4", "OVER 5-6", "OVER 7-8", "OVER 9-10", "OVER 11-12", "OVER 13-14",
                    "OVER 15-16", "OVER 17-18", "OVER 19-20", "OVER 21-24", "OVER 25-28", "OVER 29-32",
                    "OVER 33-36", "OVER 37-40", "OVER 41-44", "OVER 45-48", "OVER 49-53" } }),
            1 },
        // Each walk stops inside its range and the next reads on after it.
        WalkCase { "CountEndsInsideARange", Overview::Over, 10, 4, {}, 3, 3, { 1, 2, 3, 4, 5, 6, 7, 8, 9 },
            Concat({ Capabilities, { "OVER 1-4", "OVER 4-7", "OVER 7-11" } }), 0 },
        // The last header of the count is the group's last, as NEXT would
        // have told.
        WalkCase { "CountEndsAtTheGroupsEnd", Overview::Over, 10, 4, {}, 5, 2,
            { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 },
            Concat({ Capabilities, { "OVER 1-4", "OVER 5-8", "OVER 6-9", "OVER 10-14" } }), 1 },
        WalkCase { "AtTheEndNothingMore", Overview::Over, 10, 20, {}, 0, 2, { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 },
            Concat({ Capabilities, { "OVER 1-21", "OVER 11-31" } }), 2 },
        // No CAPABILITIES: XOVER shows it, then the format; one at a time.
        WalkCase { "XOverOfAnOlderServer", Overview::XOver, 10, 4, {}, 0, 1,
            { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 },
            { "CAPABILITIES", "XOVER 1-4", "LIST OVERVIEW.FMT", "XOVER 5-8", "XOVER 9-13" }, 1 },
        // Asked once per connection; then the plain walk, one ARTICLE per
        // fetch.
        WalkCase { "NoOverview", Overview::None, 10, 4, {}, 2, 2, { 1, 2, 3, 4 },
            { "CAPABILITIES", "XOVER 1-4", "STAT 1", "HEAD", "NEXT", "HEAD", "NEXT", "STAT 2", "NEXT", "HEAD",
                "NEXT", "HEAD", "NEXT" },
            0 },
        // A first walk may start before the group's end; later ones go on
        // after the last header taken.
        WalkCase { "NewestThree", Overview::Over, 10, 4, {}, 2, 2, { 8, 9, 10 },
            Concat({ Capabilities, { "OVER 8-12", "OVER 10-14" } }), 1, 3 },
        WalkCase { "NewestMoreThanTheGroupHas", Overview::Over, 10, 4, {}, 0, 1,
            { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 },
            Concat({ Capabilities, { "OVER 1-4", "OVER 5-8", "OVER 9-13" } }), 1, 100 },
        WalkCase { "NewestThreeWithoutOverview", Overview::None, 10, 4, {}, 0, 1, { 8, 9, 10 },
            { "CAPABILITIES", "XOVER 8-12", "STAT 8", "HEAD", "NEXT", "HEAD", "NEXT", "HEAD", "NEXT" }, 1,
            3 },
        // The article to start at is gone: the next one that exists, not
        // the group's first.
        WalkCase { "NewestStartGoneWithoutOverview", Overview::None, 10, 4, { 8 }, 0, 1, { 9, 10 },
            { "CAPABILITIES", "XOVER 8-12", "STAT 8", "STAT 9", "HEAD", "NEXT", "HEAD", "NEXT" }, 1, 3 }),
    [](const auto& info) { return std::string(info.param.name); });

// ---- what the server offers, asked as the connection opens

struct SessionCase {
    const char* name;
    Overview overview;
    // Every command of two walks on two groups over one connection.
    Strings sent;
    // The server lists MODE-READER, not READER, and refuses GROUP until
    // MODE READER.
    bool switchesModes = false;
    // After the first login GROUP and LIST OVERVIEW.FMT are answered 480:
    // the session wants a login again.
    bool loginForGroup = false;
};

class SessionStartTest : public OverviewTest, public ::testing::WithParamInterface<SessionCase> {
protected:
    bool readerMode = false;
    int logins = 0;

    std::optional<std::string> Answer(const std::string& command)
    {
        const SessionCase& c = GetParam();
        if (command == "AUTHINFO USER reader")
            return std::string("381 password please\r\n");
        if (command == "AUTHINFO PASS secret") {
            ++logins;
            return std::string("281 welcome\r\n");
        }
        if (c.switchesModes && command == "MODE READER") {
            readerMode = true;
            return std::string("200 reader mode\r\n");
        }
        if (c.switchesModes && !readerMode && command == "CAPABILITIES")
            return std::string("101 capabilities\r\nVERSION 2\r\nIHAVE\r\nMODE-READER\r\n.\r\n");
        if (c.switchesModes && !readerMode && command.starts_with("GROUP "))
            return std::string("502 transit service only\r\n");
        if (c.loginForGroup && logins < 2
            && (command.starts_with("GROUP ") || command == "LIST OVERVIEW.FMT"))
            return std::string("480 login first\r\n");
        return group->Reply(command);
    }
};

// CAPABILITIES goes out once the greeting (and the login) is in, and the
// first GROUP behind it without waiting; LIST OVERVIEW.FMT as soon as the
// capabilities show it. MODE READER and AUTHINFO never go out while a reply
// is owed, and every reply is taken for its own command: the walks take
// their headers and QUIT is answered by its own reply.
TEST_P(SessionStartTest, AskedOnceBeforeAnyGroup)
{
    const SessionCase& c = GetParam();
    group->overview = c.overview;
    group->count = 3;
    StartServer("200 ready\r\n", [this](const std::string& command) { return Answer(command); });
    if (c.loginForGroup) {
        client.UserName = "reader";
        client.Password = "secret";
    }
    for (const char* name : { "lumigrab.test", "lumigrab.other" }) {
        group->name = name;
        client.SetNewsGroup(group->name);
        client.RetrieveHeaders(0, true);
    }
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 1, 2, 3 }));
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_TRUE(errors.empty());

    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.front(), "< 200 ready");
    transcript.erase(transcript.begin());
    Strings sent;
    for (const std::string& line : transcript) {
        if (line.starts_with("> ") && line != "> QUIT")
            sent.push_back(line.substr(2));
    }
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(OutstandingWhenSent("GROUP"), 1);
    int outstanding = 0;
    for (const std::string& line : transcript) {
        if (line.starts_with("> AUTHINFO") || line.starts_with("> MODE READER")) {
            EXPECT_EQ(outstanding, 0) << line;
        }
        outstanding += line.starts_with("> ") ? 1 : -1;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, SessionStartTest,
    ::testing::Values(SessionCase { "Version2WithOver", Overview::Over,
                          { "CAPABILITIES", "GROUP lumigrab.test", "LIST OVERVIEW.FMT", "OVER 1-1001",
                              "GROUP lumigrab.other", "OVER 1-1001" } },
        // CAPABILITIES is an unknown command (500): XOVER shows the
        // overview, then the format is asked for, one command at a time.
        SessionCase { "NoCapabilities", Overview::XOver,
            { "CAPABILITIES", "GROUP lumigrab.test", "XOVER 1-1001", "LIST OVERVIEW.FMT",
                "GROUP lumigrab.other", "XOVER 1-1001" } },
        // What the server offers is asked again in reader mode.
        SessionCase { "ReaderModeWanted", Overview::Over,
            { "CAPABILITIES", "GROUP lumigrab.test", "MODE READER", "CAPABILITIES", "GROUP lumigrab.test",
                "LIST OVERVIEW.FMT", "OVER 1-1001", "GROUP lumigrab.other", "OVER 1-1001" },
            true },
        // The format list, sent behind the refused GROUP, is answered
        // before the login and asked for again after it.
        SessionCase { "LoginWantedForGroup", Overview::Over,
            { "AUTHINFO USER reader", "AUTHINFO PASS ****", "CAPABILITIES", "GROUP lumigrab.test",
                "LIST OVERVIEW.FMT", "AUTHINFO USER reader", "AUTHINFO PASS ****", "LIST OVERVIEW.FMT",
                "GROUP lumigrab.test", "OVER 1-1001", "GROUP lumigrab.other", "OVER 1-1001" },
            false, true }),
    [](const auto& info) { return std::string(info.param.name); });

// LISTGROUP's list as servers send it: CR LF or LF, blanks, numbers out of
// order, twice or outside the range asked for, lines that are no number.
TEST(ArticleNumbers, InTheRangeAscendingEachOnce)
{
    EXPECT_EQ(ReadArticleNumbers("9\r\n3\r\n 5 \n3\r\n12\r\n2\r\nx\r\n-4\r\n\r\n7", 3, 11),
        (Numbers { 3, 5, 7, 9 }));
    EXPECT_EQ(ReadArticleNumbers("", 1, 10), Numbers {});
    EXPECT_EQ(ReadArticleNumbers("2147483647\r\n2147483648\r\n", 1, INT32_MAX), Numbers { INT32_MAX });
}

TEST_F(OverviewTest, EntriesHoldTheFieldsAsHeaderLines)
{
    group->count = 2;
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(client.HeaderList.Entries(0).Lines(),
        (Strings { "Subject: article 1", "From: poster@test", "Date: date", "Message-ID: <1@test>",
            "Bytes: 100", "Lines: 3", "Xref: test lumigrab.test:1" }));

    // What the harvest reads is what HEAD gives.
    TmsNgInfoItem head;
    client.SetCurrentArticle(1);
    client.RetrieveHeader(head);
    for (const char* field : { "Subject", "Lines" })
        EXPECT_EQ(client.HeaderList.Entries(0).GetFieldValue(field), head.GetFieldValue(field)) << field;
}

TEST_F(OverviewTest, LinesOutOfPlaceArePassedOver)
{
    group->overrides["OVER 1-1001"]
        = "224 overview\r\n3\tthree\r\n2\tbackwards\r\n3\tagain\r\n2000\tbeyond\r\n"
          "x\tno number\r\n\r\n-4\tnegative\r\n 4\tblank before\r\n4 \tblank after\r\n"
          "5\tfive\r\n.\r\n";
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 3, 5 }));
    EXPECT_EQ(client.HeaderList.Entries(0).GetFieldValue("Subject"), "three");
    EXPECT_TRUE(errors.empty());
}

// The headers of the ranges answered before the failed one are delivered
// first; the next walk asks for the failed range again.
TEST_F(OverviewTest, OverviewErrorEndsTheWalkWithTheConnectionInStep)
{
    client.OverviewRangeSize = 4;
    group->overrides["OVER 5-8"] = "503 overview not available\r\n";
    Strings events;
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        events.push_back("header " + std::to_string(client.HeaderList.Entries(num).Number));
    };
    client.OnError = [&](TObject*, std::string& msg) { events.push_back("error " + msg); };
    client.SetNewsGroup(group->name);
    ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(0, true); }, "503 overview not available");
    EXPECT_EQ(events,
        (Strings { "header 1", "header 2", "header 3", "header 4", "error 503 overview not available" }));
    EXPECT_EQ(client.LastHeaderNumber(), 4);
    client.SetCurrentArticle(2);
    EXPECT_EQ(client.LastReply, "223 2 <2@test>");

    transcript.clear();
    group->overrides.clear();
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }));
    EXPECT_EQ(Sent(), (Strings { "OVER 5-8", "OVER 9-13" }));
}

// The first range of a round failing delivers nothing and keeps where the
// walk was.
TEST_F(OverviewTest, FirstRangeErrorTakesNothing)
{
    client.OverviewRangeSize = 4;
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(2, true);
    group->overrides["OVER 3-6"] = "503 overview not available\r\n";
    ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(0, true); }, "503 overview not available");
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2 }));
    EXPECT_EQ(client.LastHeaderNumber(), 2);
    EXPECT_TRUE(client.Connected());
}

// Commands that work on the current article find the header just taken.
TEST_F(OverviewTest, CurrentArticleIsTheHeaderJustTaken)
{
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        if (client.HeaderList.Entries(num).Number == 3)
            client.RetrieveArticle();
    };
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(4, true);
    EXPECT_EQ(article.Subject(), "article 3");
    EXPECT_EQ(client.CurrentArticle(), 4);
    EXPECT_TRUE(client.NextArticle());
    EXPECT_EQ(client.CurrentArticle(), 5);
    EXPECT_EQ(Sent(), Concat({ Capabilities, { "OVER 1-1001", "STAT 3", "ARTICLE", "STAT 4", "NEXT" } }));
}

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
    const std::string picture = RandomBytes(2000, 3);
    Strings kept;
    Strings events;
    Strings skipped;

    void SetUp() override
    {
        OverviewTest::SetUp();
        // Pictures among text articles.
        for (int number : { 2, 3, 5, 6, 8, 9 })
            group->texts[number] = PictureArticle("p" + std::to_string(number), picture);
        harvest.OnPictureKept = [this](const std::string& path) {
            kept.push_back(fs::path(path).stem());
            EXPECT_EQ(ReadFileBytes(path), picture);
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
    int atHeader;
    std::string atPicture;
    Strings kept;
    int32_t lastHeader;
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
