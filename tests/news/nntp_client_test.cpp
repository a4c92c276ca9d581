// The news client against a scripted loopback server: replies a real server
// rarely or never gives, and the exact command sequences of the walk.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "transport/kttypes.h"

namespace lumigrab {
namespace {

using testing::RecordSentLines;
using testing::ScriptedServer;

// A group of articles 1..count as a minimal news server presents it.
// Replies listed in overrides (by exact command) win.
struct FakeGroup {
    std::string name = "lumigrab.test";
    int count = 5;
    int current = 1;
    std::map<std::string, std::optional<std::string>> overrides;
    std::string articleHeaders = "Subject: a test\r\nLines: 3\r\n";

    std::optional<std::string> Reply(const std::string& command)
    {
        if (auto found = overrides.find(command); found != overrides.end())
            return found->second;
        const std::string n = std::to_string(current);
        if (command == "GROUP " + name)
            return "211 " + std::to_string(count) + " 1 " + std::to_string(count) + " " + name + "\r\n";
        if (command.starts_with("STAT ")) {
            current = std::stoi(command.substr(5));
            return "223 " + std::to_string(current) + " <" + std::to_string(current) + "@test>\r\n";
        }
        if (command == "NEXT") {
            if (current >= count)
                return std::string("421 no next article in this group\r\n");
            ++current;
            return "223 " + std::to_string(current) + " <" + std::to_string(current) + "@test>\r\n";
        }
        if (command == "HEAD")
            return "221 " + n + " <" + n + "@test>\r\nSubject: article " + n + "\r\n" + articleHeaders
                + ".\r\n";
        if (command == "ARTICLE")
            return "220 " + n + " <" + n + "@test>\r\n" + std::string(ScriptedServer::Pause)
                + "Subject: article " + n + "\r\n" + articleHeaders + "\r\nline one\r\nline two\r\n"
                + std::string(ScriptedServer::Pause) + "line three\r\n.\r\n";
        if (command == "QUIT")
            return std::string("205 bye\r\n");
        return std::string("500 unknown command\r\n");
    }
};

class NntpClientTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeGroup> group = std::make_shared<FakeGroup>();
    std::unique_ptr<ScriptedServer> server;
    TmsArticle article;
    TmsNNTP client;
    std::vector<std::string> errors;

    void StartServer(std::string greeting = "200 scripted server ready\r\n")
    {
        auto state = group;
        server = std::make_unique<ScriptedServer>(
            [state](const std::string& command) { return state->Reply(command); }, std::move(greeting));
        client.SetWinsockLoaded(true);
        client.Server = server->Address();
        client.TimeOut = 5;
        client.Article = &article;
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
    }

    void SetUp() override { StartServer(); }

    std::vector<int32_t> HeaderNumbers() const
    {
        std::vector<int32_t> numbers;
        for (int i = 0; i < client.HeaderList.Count(); ++i)
            numbers.push_back(client.HeaderList.Entries(i).Number);
        return numbers;
    }
};

struct ReplyCase {
    const char* reply;
    bool accepted;
};

class ReplyCheckTest : public ::testing::TestWithParam<ReplyCase> { };

TEST_P(ReplyCheckTest, AcceptsSuccessAndNoNextArticleOnly)
{
    TmsNNTP client;
    std::vector<std::string> errors;
    client.OnError = [&](TObject*, std::string& msg) { errors.push_back(msg); };
    const ReplyCase& c = GetParam();
    if (c.accepted) {
        EXPECT_NO_THROW(client.CheckReply(c.reply));
        EXPECT_TRUE(errors.empty());
        return;
    }
    try {
        client.CheckReply(c.reply);
        FAIL() << "accepted " << c.reply;
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), c.reply);
    }
    EXPECT_EQ(errors, std::vector<std::string> { c.reply });
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyCheckTest,
    ::testing::Values(ReplyCase { "200 ready", true }, ReplyCase { "211 3 1 3 g", true },
        ReplyCase { "340 send article", true }, ReplyCase { "421 no next article", true },
        ReplyCase { "223", true }, ReplyCase { "411 no such group", false },
        ReplyCase { "423 no such article number", false }, ReplyCase { "500-continued error", false },
        ReplyCase { "2", false }, ReplyCase { "20", false }, ReplyCase { "", false },
        ReplyCase { "42", false }, ReplyCase { "199 info", false }));

TEST(NntpClientErrorText, HandlerMayReplaceTheErrorText)
{
    TmsNNTP client;
    client.OnError = [](TObject*, std::string& msg) { msg = "replaced: " + msg; };
    try {
        client.CheckReply("502 access denied");
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "replaced: 502 access denied");
    }
}

TEST(NntpClientNoGroup, EveryGroupOperationFailsBeforeSending)
{
    TmsNNTP client;
    TmsArticle article;
    client.Article = &article;
    client.Server = "127.0.0.1:9";
    std::vector<std::string> errors;
    client.OnError = [&](TObject*, std::string& msg) { errors.push_back(msg); };
    TmsNgInfoItem item;
    const std::vector<std::function<void()>> operations = {
        [&] { client.RetrieveHeaders(0, true); },
        [&] { client.SetCurrentArticle(1); },
        [&] { client.NextArticle(); },
        [&] { client.RetrieveHeader(item); },
        [&] { client.RetrieveArticle(); },
        [&] { client.RetrieveArticleByNumber(1); },
    };
    for (size_t i = 0; i < operations.size(); ++i) {
        SCOPED_TRACE(i);
        try {
            operations[i]();
            FAIL() << "no error";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.Message(), "Newsgroup has not been selected");
        }
    }
    EXPECT_EQ(errors.size(), operations.size());
    EXPECT_FALSE(client.Connected());
}

TEST_F(NntpClientTest, SelectsGroupAndTakesItsNumbers)
{
    int selected = 0;
    client.OnGroupSelected = [&](TObject*) { ++selected; };
    client.SetNewsGroup("lumigrab.test");
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    EXPECT_EQ(client.ArticleCount(), 5);
    EXPECT_EQ(client.FirstArticle(), 1);
    EXPECT_EQ(client.LastArticle(), 5);
    EXPECT_EQ(client.CurrentArticle(), 1);
    EXPECT_EQ(client.LastHeaderNumber(), -1);
    EXPECT_EQ(selected, 1);
    EXPECT_EQ(server->Commands(), std::vector<std::string> { "GROUP lumigrab.test" });
}

TEST_F(NntpClientTest, GroupErrorKeepsThePreviousGroup)
{
    group->overrides["GROUP missing.group"] = "411 no such news group\r\n";
    client.SetNewsGroup("lumigrab.test");
    client.RetrieveHeaders(2, true);
    try {
        client.SetNewsGroup("missing.group");
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "411 no such news group");
    }
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    EXPECT_EQ(client.LastHeaderNumber(), 2);
    EXPECT_EQ(errors.back(), "411 no such news group");
}

TEST_F(NntpClientTest, SameGroupInOtherCaseSendsNothingAndContinues)
{
    client.SetNewsGroup("lumigrab.test");
    client.RetrieveHeaders(2, true);
    const auto sent = RecordSentLines(client);
    client.SetNewsGroup("LUMIGRAB.Test");
    EXPECT_TRUE(sent->empty());
    EXPECT_EQ(client.NewsGroup(), "lumigrab.test");
    client.RetrieveHeaders(2, true);
    EXPECT_EQ(*sent, (std::vector<std::string> { "STAT 2", "NEXT", "HEAD", "NEXT", "HEAD", "NEXT" }));
    EXPECT_EQ(HeaderNumbers(), (std::vector<int32_t> { 1, 2, 3, 4 }));
}

TEST_F(NntpClientTest, CountOneTakesOneHeaderThenOneNext)
{
    client.SetNewsGroup("lumigrab.test");
    const auto sent = RecordSentLines(client);
    std::vector<int> nums;
    client.OnNextHeaderRetrieved = [&](TObject*, int num) { nums.push_back(num); };
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(*sent, (std::vector<std::string> { "STAT 1", "HEAD", "NEXT" }));
    EXPECT_EQ(nums, std::vector<int> { 0 });
    EXPECT_EQ(client.LastHeaderNumber(), 1);
    EXPECT_EQ(client.HeaderList.Entries(0).GetFieldValue("Subject"), "article 1");
}

TEST_F(NntpClientTest, CountZeroWalksToTheEndAndThenAddsNothing)
{
    client.SetNewsGroup("lumigrab.test");
    int lastSignals = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++lastSignals; };
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(HeaderNumbers(), (std::vector<int32_t> { 1, 2, 3, 4, 5 }));
    EXPECT_EQ(client.LastHeaderNumber(), 5);
    EXPECT_EQ(lastSignals, 1);

    const auto sent = RecordSentLines(client);
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(*sent, (std::vector<std::string> { "STAT 5", "NEXT" }));
    EXPECT_EQ(client.HeaderList.Count(), 5);
    EXPECT_EQ(client.LastHeaderNumber(), 5);
    EXPECT_EQ(lastSignals, 2);
}

TEST_F(NntpClientTest, AppendFalseStartsAFreshList)
{
    client.SetNewsGroup("lumigrab.test");
    client.RetrieveHeaders(2, true);
    client.RetrieveHeaders(2, false);
    EXPECT_EQ(HeaderNumbers(), (std::vector<int32_t> { 3, 4 }));
}

TEST_F(NntpClientTest, HandlerThatEmptiesTheListDoesNotBreakTheWalk)
{
    client.SetNewsGroup("lumigrab.test");
    client.OnNextHeaderRetrieved = [&](TObject*, int) { client.HeaderList.Clear(); };
    EXPECT_NO_THROW(client.RetrieveHeaders(3, true));
    EXPECT_EQ(client.LastHeaderNumber(), 3);
    client.OnNextHeaderRetrieved = nullptr;
    client.RetrieveHeaders(1, true);
    EXPECT_EQ(HeaderNumbers(), std::vector<int32_t> { 4 });
}

TEST_F(NntpClientTest, CancelFromHandlerEndsTheWalkAsCanceled)
{
    client.SetNewsGroup("lumigrab.test");
    std::vector<std::string> sentAfterCancel;
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

    // The same group sends nothing; the next command needs a connection.
    client.SetNewsGroup("lumigrab.test");
    try {
        client.RetrieveHeaders(0, true);
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "You have to connect to the server first");
    }
}

TEST_F(NntpClientTest, DifferentGroupAfterCancelReconnects)
{
    client.SetNewsGroup("lumigrab.test");
    client.Cancel();
    group->name = "lumigrab.other";
    client.SetNewsGroup("lumigrab.other");
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.LastHeaderNumber(), -1);
    client.RetrieveHeaders(1, true);
    EXPECT_EQ(HeaderNumbers(), std::vector<int32_t> { 1 });
}

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

TEST_F(NntpClientTest, NoDataBlockIsAwaitedAfterANonSuccessReply)
{
    group->overrides["HEAD"] = "421 no current article\r\n";
    client.SetNewsGroup("lumigrab.test");
    TmsNgInfoItem item;
    try {
        client.RetrieveHeader(item);
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "421 no current article");
    }
}

TEST_F(NntpClientTest, MissingArticleEndsTheFetch)
{
    group->overrides["STAT 9"] = "423 no such article number in this group\r\n";
    client.SetNewsGroup("lumigrab.test");
    try {
        client.RetrieveArticleByNumber(9);
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "423 no such article number in this group");
    }
}

TEST_F(NntpClientTest, ShortReplyIsAnError)
{
    group->overrides["STAT 2"] = "2\r\n";
    client.SetNewsGroup("lumigrab.test");
    try {
        client.SetCurrentArticle(2);
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "2");
    }
}

TEST_F(NntpClientTest, ServerHangingUpMidCommandIsAnError)
{
    group->overrides["STAT 2"] = std::nullopt;
    client.SetNewsGroup("lumigrab.test");
    try {
        client.SetCurrentArticle(2);
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "Connection closed by the server");
    }
    EXPECT_FALSE(client.Connected());
}

TEST_F(NntpClientTest, SilentServerTimesOut)
{
    group->overrides["STAT 2"] = "";
    client.TimeOut = 1;
    client.SetNewsGroup("lumigrab.test");
    EXPECT_THROW(client.SetCurrentArticle(2), ETimedOutError);
    EXPECT_EQ(errors.back(), "Operation timed out");
    EXPECT_FALSE(client.Connected());
}

TEST_F(NntpClientTest, ArticleWithLineCountReportsProgress)
{
    std::vector<int> percents;
    int retrieved = 0;
    client.OnProgress = [&](TObject*, int perc) { percents.push_back(perc); };
    client.OnArticleRetrieved = [&](TObject*) { ++retrieved; };
    client.SetNewsGroup("lumigrab.test");
    const auto sent = RecordSentLines(client);
    client.RetrieveArticleByNumber(3);
    EXPECT_EQ(*sent, (std::vector<std::string> { "STAT 3", "HEAD", "ARTICLE" }));
    EXPECT_FALSE(percents.empty());
    EXPECT_EQ(retrieved, 1);
    EXPECT_EQ(article.Subject(), "article 3");
}

TEST_F(NntpClientTest, ArticleWithoutUsableLineCountReportsNoProgress)
{
    for (const char* headers : { "Subject: x\r\n", "Lines: many\r\n", "Lines: -4\r\n" }) {
        SCOPED_TRACE(headers);
        group->articleHeaders = headers;
        std::vector<int> percents;
        client.OnProgress = [&](TObject*, int perc) { percents.push_back(perc); };
        client.SetNewsGroup("lumigrab.test");
        client.RetrieveArticleByNumber(2);
        EXPECT_TRUE(percents.empty());
        EXPECT_EQ(article.Body().Count(), 3);
    }
}

TEST_F(NntpClientTest, ArticleNeedsAnArticleObject)
{
    client.Article = nullptr;
    client.SetNewsGroup("lumigrab.test");
    const auto sent = RecordSentLines(client);
    EXPECT_THROW(client.RetrieveArticleByNumber(1), ESocketError);
    EXPECT_TRUE(sent->empty());
}

TEST_F(NntpClientTest, LineBreaksInArgumentsAreRefused)
{
    const auto sent = RecordSentLines(client);
    EXPECT_THROW(client.SetNewsGroup("a.group\r\nQUIT"), ESocketError);
    EXPECT_TRUE(sent->empty());
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(NntpClientTest, DisconnectSendsQuitAndForgetsTheGroup)
{
    client.SetNewsGroup("lumigrab.test");
    client.Disconnect();
    EXPECT_EQ(server->Commands().back(), "QUIT");
    EXPECT_EQ(client.LastReply, "205 bye");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(NntpClientTest, BadGreetingFailsTheConnection)
{
    StartServer("502 no permission\r\n");
    try {
        client.SetNewsGroup("lumigrab.test");
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "502 no permission");
    }
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(NntpClientTest, NewsGroupListFromListReply)
{
    group->overrides["LIST"] = "215 list follows\r\nalt.one 20 10 y\r\nalt.two 5 1 m\r\n.\r\n";
    std::vector<std::string> events;
    client.OnRetrievingNewsGroupList = [&](TObject*) { events.push_back("retrieving"); };
    client.OnNewsGroupListRetrieved = [&](TObject*) { events.push_back("retrieved"); };
    client.RetrieveNewsGroupList();
    ASSERT_EQ(client.NewsGroupList.Count(), 2);
    EXPECT_EQ(client.NewsGroupList.Groups(1).GroupName, "alt.two");
    EXPECT_EQ(client.NewsGroupList.Groups(0).LastArticle, 20);
    EXPECT_EQ(events, (std::vector<std::string> { "retrieving", "retrieved" }));
}

TEST_F(NntpClientTest, RemovedArticleComponentIsForgotten)
{
    TmsArticle other;
    client.ComponentRemoved(&other);
    EXPECT_EQ(client.Article, &article);
    client.ComponentRemoved(&article);
    EXPECT_EQ(client.Article, nullptr);
}

} // namespace
} // namespace lumigrab
