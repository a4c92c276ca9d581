// The news client against a scripted loopback server: replies a real server
// rarely or never gives, and the exact command sequences of the walk.
#include <gtest/gtest.h>

#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/messagepump.h"
#include "message/msmsg.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "transport/kttypes.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::HeaderNumbers;
using testing::PrintTo;
using testing::RecordSentLines;
using testing::ReplyPause;
using Strings = std::vector<std::string>;
using Numbers = std::vector<int32_t>;

class NntpClientTest : public testing::ScriptedNewsTest {
protected:
    void SetUp() override { StartServer("200 scripted server ready\r\n"); }

    void SelectTestGroup() { client.SetNewsGroup("lumigrab.test"); }
};

TEST(NntpReplyCheck, AcceptsSuccessAndNoNextArticleOnly)
{
    TmsNNTP client;
    Strings errors;
    client.OnError = [&](TObject*, std::string& msg) { errors.push_back(msg); };
    for (const char* reply : { "200 ready", "211 3 1 3 g", "340 send article", "421 no next article", "223" })
        EXPECT_NO_THROW(client.CheckReply(reply)) << reply;
    EXPECT_TRUE(errors.empty());
    const Strings refused = { "411 no such group", "423 no such article number", "500-continued error", "2",
        "20", "", "42", "199 info" };
    for (const std::string& reply : refused) {
        SCOPED_TRACE(reply);
        ExpectRaises<ESocketError>([&] { client.CheckReply(reply); }, reply);
    }
    EXPECT_EQ(errors, refused);

    client.OnError = [](TObject*, std::string& msg) { msg = "replaced: " + msg; };
    ExpectRaises<ESocketError>(
        [&] { client.CheckReply("502 access denied"); }, "replaced: 502 access denied");
}

TEST(NntpClientNoGroup, EveryGroupOperationFailsBeforeSending)
{
    TmsNNTP client;
    TmsArticle article;
    client.SetArticle(&article);
    client.Server = "127.0.0.1:9";
    int errors = 0;
    client.OnError = [&](TObject*, std::string&) { ++errors; };
    TmsNgInfoItem item;
    const std::vector<std::function<void()>> operations = {
        [&] { client.RetrieveHeaders(0, true); },
        [&] { client.SetCurrentArticle(1); },
        [&] { client.NextArticle(); },
        [&] { client.RetrieveHeader(item); },
        [&] { client.RetrieveArticle(); },
        [&] { client.RetrieveArticleByNumber(1); },
    };
    for (const auto& operation : operations)
        ExpectRaises<ESocketError>(operation, "Newsgroup has not been selected");
    EXPECT_EQ(errors, int(operations.size()));
    EXPECT_FALSE(client.Connected());
}

TEST_F(NntpClientTest, SelectsGroupAndTakesItsNumbers)
{
    int selected = 0;
    client.OnGroupSelected = [&](TObject*) { ++selected; };
    SelectTestGroup();
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    EXPECT_EQ(client.ArticleCount(), 5);
    EXPECT_EQ(client.FirstArticle(), 1);
    EXPECT_EQ(client.LastArticle(), 5);
    EXPECT_EQ(client.CurrentArticle(), 1);
    EXPECT_EQ(client.LastHeaderNumber(), -1);
    EXPECT_EQ(selected, 1);
    EXPECT_EQ(server->Lines(), Strings { "GROUP lumigrab.test" });
}

TEST_F(NntpClientTest, GroupErrorKeepsThePreviousGroup)
{
    group->overrides["GROUP missing.group"] = "411 no such news group\r\n";
    SelectTestGroup();
    client.RetrieveHeaders(2, true);
    ExpectRaises<ESocketError>([&] { client.SetNewsGroup("missing.group"); }, "411 no such news group");
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    EXPECT_EQ(client.LastHeaderNumber(), 2);
    EXPECT_EQ(errors.back(), "411 no such news group");
}

TEST_F(NntpClientTest, SameGroupInOtherCaseSendsNothingAndContinues)
{
    SelectTestGroup();
    client.RetrieveHeaders(2, true);
    const auto sent = RecordSentLines(client);
    client.SetNewsGroup("LUMIGRAB.Test");
    EXPECT_TRUE(sent->empty());
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    client.RetrieveHeaders(2, true);
    EXPECT_EQ(*sent, (Strings { "STAT 2", "NEXT", "HEAD", "NEXT", "HEAD", "NEXT" }));
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4 }));
    // A fresh list starts after the last header taken.
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(HeaderNumbers(client), Numbers { 5 });
}

TEST_F(NntpClientTest, CountOneTakesOneHeaderThenOneNext)
{
    SelectTestGroup();
    const auto sent = RecordSentLines(client);
    std::vector<int> nums;
    client.OnNextHeaderRetrieved = [&](TObject*, int num) { nums.push_back(num); };
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(*sent, (Strings { "STAT 1", "HEAD", "NEXT" }));
    EXPECT_EQ(nums, std::vector<int> { 0 });
    EXPECT_EQ(client.LastHeaderNumber(), 1);
    EXPECT_EQ(client.HeaderList.Entries(0).GetFieldValue("Subject"), "article 1");
}

TEST_F(NntpClientTest, CountZeroWalksToTheEndAndThenAddsNothing)
{
    SelectTestGroup();
    int lastSignals = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++lastSignals; };
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4, 5 }));
    EXPECT_EQ(client.LastHeaderNumber(), 5);
    EXPECT_EQ(lastSignals, 1);

    const auto sent = RecordSentLines(client);
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(*sent, (Strings { "STAT 5", "NEXT" }));
    EXPECT_EQ(client.HeaderList.Count(), 5);
    EXPECT_EQ(client.LastHeaderNumber(), 5);
    EXPECT_EQ(lastSignals, 2);
}

TEST_F(NntpClientTest, HandlerThatEmptiesTheListDoesNotBreakTheWalk)
{
    SelectTestGroup();
    client.OnNextHeaderRetrieved = [&](TObject*, int) { client.HeaderList.Clear(); };
    EXPECT_NO_THROW(client.RetrieveHeaders(3, true));
    EXPECT_EQ(client.LastHeaderNumber(), 3);
    client.OnNextHeaderRetrieved = nullptr;
    client.RetrieveHeaders(1, true);
    EXPECT_EQ(HeaderNumbers(client), Numbers { 4 });
}

// A handler that fetches another article by number (an earlier one, a
// later one) moves the server; the walk still takes every header once.
TEST_F(NntpClientTest, HandlerFetchingAnotherArticleKeepsTheWalkInPlace)
{
    SelectTestGroup();
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        const int32_t number = client.HeaderList.Entries(num).Number;
        if (number == 2 || number == 3)
            client.RetrieveArticleByNumber(number == 2 ? 5 : 1);
    };
    client.RetrieveHeaders(0, false);
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4, 5 }));
    EXPECT_TRUE(errors.empty());
}

TEST_F(NntpClientTest, CancelFromHandlerEndsTheWalkAsCanceled)
{
    SelectTestGroup();
    Strings sentAfterCancel;
    bool canceled = false;
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        if (num == 1) {
            client.Cancel();
            canceled = true;
        }
    };
    client.OnLineSent = [&](TObject*, const std::string& line) {
        if (canceled)
            sentAfterCancel.push_back(line);
    };
    EXPECT_THROW(client.RetrieveHeaders(0, true), ECanceledError);
    EXPECT_TRUE(sentAfterCancel.empty());
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    EXPECT_EQ(client.LastHeaderNumber(), 2);
    EXPECT_EQ(client.HeaderList.Count(), 2);

    // A different group reconnects and starts afresh. The handlers refer to
    // this test's locals and must not outlive it.
    client.OnNextHeaderRetrieved = nullptr;
    client.OnLineSent = nullptr;
    group->name = "lumigrab.other";
    client.SetNewsGroup("lumigrab.other");
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.LastHeaderNumber(), -1);
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(HeaderNumbers(client), Numbers { 1 });
}

// Stop, then Go on the same group: the group is selected again on a new
// connection and the walk goes on after the last header taken.
struct ConnectionEnd {
    const char* name;
    std::function<void(TmsNNTP&, testing::FakeGroup&)> end;
};

class SameGroupAgainTest : public NntpClientTest, public ::testing::WithParamInterface<ConnectionEnd> { };

TEST_P(SameGroupAgainTest, ConnectsAgainAndContinuesAfterTheLastHeader)
{
    SelectTestGroup();
    client.RetrieveHeaders(2, true);
    GetParam().end(client, *group);
    ASSERT_FALSE(client.Connected());
    errors.clear();
    group->overrides.clear();

    int selected = 0;
    client.OnGroupSelected = [&](TObject*) { ++selected; };
    const auto sent = RecordSentLines(client);
    client.SetNewsGroup("LUMIGRAB.test");
    EXPECT_EQ(selected, 1);
    EXPECT_EQ(client.LastHeaderNumber(), 2);
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4, 5 }));
    EXPECT_EQ(*sent,
        (Strings {
            "GROUP lumigrab.test", "STAT 2", "NEXT", "HEAD", "NEXT", "HEAD", "NEXT", "HEAD", "NEXT" }));
    EXPECT_TRUE(errors.empty());
    client.OnGroupSelected = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Ends, SameGroupAgainTest,
    ::testing::Values(
        ConnectionEnd { "Cancel", [](TmsNNTP& client, testing::FakeGroup&) { client.Cancel(); } },
        ConnectionEnd { "ServerHangsUp",
            [](TmsNNTP& client, testing::FakeGroup& group) {
                group.overrides["STAT 1"] = std::nullopt;
                EXPECT_THROW(client.SetCurrentArticle(1), ESocketError);
            } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NntpClientTest, NoNextArticleToAnyCommandIsNotAnError)
{
    group->overrides["GROUP odd.group"] = "421 odd\r\n";
    group->overrides["STAT 3"] = "421 9 odd\r\n";
    client.SetNewsGroup("odd.group");
    EXPECT_EQ(client.NewsGroup(), "odd.group");
    EXPECT_EQ(client.ArticleCount(), -1);
    client.SetCurrentArticle(3);
    EXPECT_EQ(client.CurrentArticle(), 9);
    EXPECT_TRUE(errors.empty());
}

// A reply the client must not take for success, to an operation on the
// selected group.
struct FailingReply {
    const char* name;
    const char* command;
    std::optional<std::string> reply;
    std::function<void(TmsNNTP&)> operation;
    std::string error;
    bool staysConnected;
};

class FailingReplyTest : public NntpClientTest, public ::testing::WithParamInterface<FailingReply> { };

TEST_P(FailingReplyTest, EndsTheOperationWithTheError)
{
    const FailingReply& c = GetParam();
    group->overrides[c.command] = c.reply;
    client.TimeOut = 1;
    SelectTestGroup();
    ExpectRaises<Exception>([&] { c.operation(client); }, c.error);
    EXPECT_EQ(errors.back(), c.error);
    EXPECT_EQ(client.Connected(), c.staysConnected);
}

void SelectArticleTwo(TmsNNTP& client)
{
    client.SetCurrentArticle(2);
}

INSTANTIATE_TEST_SUITE_P(Replies, FailingReplyTest,
    ::testing::Values(
        // No data block is awaited after a reply that is not a success.
        FailingReply { "NoCurrentArticle", "HEAD", "421 no current article\r\n",
            [](TmsNNTP& client) {
                TmsNgInfoItem item;
                client.RetrieveHeader(item);
            },
            "421 no current article", true },
        FailingReply { "MissingArticle", "STAT 9", "423 no such article number in this group\r\n",
            [](TmsNNTP& client) { client.RetrieveArticleByNumber(9); },
            "423 no such article number in this group", true },
        FailingReply { "ShortReply", "STAT 2", "2\r\n", SelectArticleTwo, "2", true },
        FailingReply {
            "HangUp", "STAT 2", std::nullopt, SelectArticleTwo, "Connection closed by the server", false },
        FailingReply { "Silence", "STAT 2", "", SelectArticleTwo, "Operation timed out", false }),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST_F(NntpClientTest, RefusesBeforeSendingWhatCannotWork)
{
    const auto sent = RecordSentLines(client);
    EXPECT_THROW(client.SetNewsGroup("a.group\r\nQUIT"), ESocketError);
    EXPECT_TRUE(sent->empty());
    EXPECT_EQ(client.NewsGroup(), "");
    EXPECT_THROW(client.ReadArticle("<id@test>\r\nQUIT"), ESocketError);
    EXPECT_TRUE(sent->empty());

    client.SetArticle(nullptr);
    SelectTestGroup();
    sent->clear();
    EXPECT_THROW(client.RetrieveArticleByNumber(1), ESocketError);
    EXPECT_TRUE(sent->empty());
}

TEST_F(NntpClientTest, DisconnectSendsQuitAndForgetsTheGroup)
{
    SelectTestGroup();
    client.Disconnect();
    EXPECT_EQ(server->Lines().back(), "QUIT");
    EXPECT_EQ(client.LastReply, "205 bye");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(NntpClientTest, BadGreetingFailsTheConnection)
{
    StartServer("502 no permission\r\n");
    ExpectRaises<ESocketError>([&] { SelectTestGroup(); }, "502 no permission");
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(NntpClientTest, NewsGroupListFromListReply)
{
    group->overrides["LIST"] = "215 list follows\r\nalt.one 20 10 y\r\nalt.two 5 1 m\r\n.\r\n";
    Strings events;
    client.OnRetrievingNewsGroupList = [&](TObject*) { events.push_back("retrieving"); };
    client.OnNewsGroupListRetrieved = [&](TObject*) { events.push_back("retrieved"); };
    client.RetrieveNewsGroupList();
    ASSERT_EQ(client.NewsGroupList.Count(), 2);
    EXPECT_EQ(client.NewsGroupList.Groups(1).GroupName, "alt.two");
    EXPECT_EQ(client.NewsGroupList.Groups(0).LastArticle, 20);
    EXPECT_EQ(events, (Strings { "retrieving", "retrieved" }));
}

TEST_F(NntpClientTest, CommandsFromElsewhereAreRefusedWhileOneIsUnderway)
{
    // A multipart article: the decoder lets the event loop run between parts.
    group->overrides["ARTICLE"] = "220 1 <1@test>\r\nMIME-Version: 1.0\r\n"
                                  "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
                                  "--b\r\nContent-Type: image/jpeg; name=x.jpg\r\n"
                                  "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--b--\r\n.\r\n";
    SelectTestGroup();
    const auto sent = RecordSentLines(client);
    Strings refused;
    int decoderPumpRuns = 0;
    std::function<void()> elsewhere = [&] {
        try {
            client.SetCurrentArticle(5);
        } catch (const ESocketError& e) {
            refused.push_back(e.Message());
        }
    };
    // Fires at every turn of the event loop, that is inside every wait.
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] { elsewhere(); });
    timer.start();
    SetMessagePump([&] {
        ++decoderPumpRuns;
        elsewhere();
    });
    struct PumpRestorer {
        ~PumpRestorer() { SetMessagePump({}); }
    } restorePump;
    // The walk's own handler fetches between commands, as the harvest does.
    client.OnNextHeaderRetrieved
        = [&](TObject*, int num) { client.RetrieveArticleByNumber(client.HeaderList.Entries(num).Number); };
    client.RetrieveHeaders(2, false);

    EXPECT_EQ(*sent,
        (Strings { "STAT 1", "HEAD", "STAT 1", "HEAD", "ARTICLE", "NEXT", "HEAD", "STAT 2", "HEAD", "ARTICLE",
            "NEXT" }));
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2 }));
    EXPECT_EQ(client.CurrentArticle(), 3);
    EXPECT_EQ(article.Attachments().Count(), 1);
    EXPECT_GT(decoderPumpRuns, 0);
    ASSERT_GT(refused.size(), size_t(decoderPumpRuns));
    EXPECT_EQ(refused, Strings(refused.size(), "Another command is in progress on this connection"));

    // Cancel is no command: it ends the wait it arrives in.
    elsewhere = [&] { client.Cancel(); };
    EXPECT_THROW(client.RetrieveHeaders(1, true), ECanceledError);
    EXPECT_FALSE(client.Connected());
    client.OnNextHeaderRetrieved = nullptr;
}

// A form-like owner of components.
class TOwnerComponent : public TComponent {
public:
    const char* ClassName() const override { return "TOwnerComponent"; }
};

TEST_F(NntpClientTest, FreedArticleIsForgottenBeforeTheNextFetch)
{
    SelectTestGroup();
    {
        // Owned by another component, freed by it; then one nobody owns.
        TOwnerComponent owner;
        client.SetArticle(new TmsArticle(&owner));
    }
    EXPECT_EQ(client.Article(), nullptr);
    auto loose = std::make_unique<TmsArticle>();
    client.SetArticle(loose.get());
    client.RetrieveArticleByNumber(2);
    EXPECT_EQ(loose->Subject(), "article 2");
    loose.reset();
    EXPECT_EQ(client.Article(), nullptr);
    const auto sent = RecordSentLines(client);
    ExpectRaises<ESocketError>([&] { client.RetrieveArticleByNumber(3); }, "Article has not been assigned");
    EXPECT_TRUE(sent->empty());
}

} // namespace
} // namespace lumigrab
