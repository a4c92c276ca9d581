// The news client against a server that misbehaves: lines and blocks that
// never end, a walk that does not move on, a first article that is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "message/msmsg.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::HeaderNumbers;
using testing::RecordSentLines;
using testing::ReplyForever;
using testing::ReplyPause;
using testing::ScriptServer;
using Strings = std::vector<std::string>;
using Numbers = std::vector<int32_t>;

class HostileServerTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeGroup> group = std::make_shared<FakeGroup>();
    std::unique_ptr<ScriptServer> server;
    TmsArticle article;
    TmsNNTP client;
    Strings errors;

    void SetUp() override
    {
        server = std::make_unique<ScriptServer>(
            [state = group](const std::string& command) { return state->Reply(command); }, "200 ready\r\n");
        client.SetWinsockLoaded(true);
        client.Server = server->Address();
        client.TimeOut = 5;
        client.SetArticle(&article);
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
    }

    // Walks the group; a walk that does not end by itself is cut off
    // rather than left to hang the test.
    void Walk()
    {
        client.SetNewsGroup(group->name);
        client.OnNextHeaderRetrieved = [this](TObject*, int num) {
            if (num >= 100)
                client.Cancel();
        };
        client.RetrieveHeaders(0, true);
    }
};

// ---- a walk always moves on

struct StuckNextCase {
    const char* name;
    std::string nextReply;
    Numbers headers;
    std::string error;
};

void PrintTo(const StuckNextCase& c, std::ostream* os)
{
    *os << c.name;
}

class StuckNextTest : public HostileServerTest, public ::testing::WithParamInterface<StuckNextCase> { };

TEST_P(StuckNextTest, EndsTheWalkWithAClearError)
{
    const StuckNextCase& c = GetParam();
    group->overrides["NEXT"] = c.nextReply;
    ExpectRaises<ESocketError>([&] { Walk(); }, c.error);
    EXPECT_EQ(HeaderNumbers(client), c.headers);
    EXPECT_EQ(errors, Strings { c.error });
    EXPECT_TRUE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(Replies, StuckNextTest,
    ::testing::Values(StuckNextCase { "SameArticle", "223 1 <1@test>\r\n", { 1 },
                          "The server did not move on to a later article (NEXT answered 1 after 1)" },
        StuckNextCase { "EarlierArticle", "223 0 <0@test>\r\n", { 1 },
            "The server did not move on to a later article (NEXT answered 0 after 1)" },
        StuckNextCase { "NoNumber", "223 <x@test>\r\n", { 1 },
            "The server did not move on to a later article (NEXT answered -1 after 1)" },
        // The server's HEAD stays at article 1 while NEXT claims 3, twice.
        StuckNextCase { "StuckFurtherOn", "223 3 <3@test>\r\n", { 1, 1 },
            "The server did not move on to a later article (NEXT answered 3 after 3)" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, NextBehindTheLastBatchEndsTheNextBatch)
{
    client.SetNewsGroup(group->name);
    client.RetrieveHeaders(2, true);
    group->overrides["NEXT"] = "223 2 <2@test>\r\n";
    ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(2, true); },
        "The server did not move on to a later article (NEXT answered 2 after 2)");
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2 }));
}

// ---- a first article that is gone

struct FirstGoneCase {
    const char* name;
    std::set<int> missing;
    std::map<std::string, std::optional<std::string>> overrides;
    Strings sent;
    Numbers headers;
};

void PrintTo(const FirstGoneCase& c, std::ostream* os)
{
    *os << c.name;
}

class FirstGoneTest : public HostileServerTest, public ::testing::WithParamInterface<FirstGoneCase> { };

TEST_P(FirstGoneTest, WalkStartsAtTheFirstArticleLeft)
{
    const FirstGoneCase& c = GetParam();
    group->missing = c.missing;
    group->overrides = c.overrides;
    client.SetNewsGroup(group->name);
    const auto sent = RecordSentLines(client);
    client.RetrieveHeaders(2, true);
    EXPECT_EQ(*sent, c.sent);
    EXPECT_EQ(HeaderNumbers(client), c.headers);
    // What the walk answers itself is no error.
    EXPECT_TRUE(errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, FirstGoneTest,
    ::testing::Values(
        // GROUP makes the first article left the current one.
        FirstGoneCase {
            "Expired", { 1 }, {}, { "STAT 1", "STAT", "HEAD", "NEXT", "HEAD", "NEXT" }, { 2, 3 } },
        FirstGoneCase { "SeveralExpired", { 1, 2, 3 }, {},
            { "STAT 1", "STAT", "HEAD", "NEXT", "HEAD", "NEXT" }, { 4, 5 } },
        // A server that keeps its pointer on the missing article.
        FirstGoneCase { "CurrentGoneToo", {},
            { { "STAT 1", "423 no such article\r\n" }, { "STAT", "420 no current article\r\n" } },
            { "STAT 1", "STAT", "NEXT", "HEAD", "NEXT", "HEAD", "NEXT" }, { 2, 3 } }),
    [](const auto& info) { return std::string(info.param.name); });

// ---- lines and blocks that never end

struct EndlessCase {
    const char* name;
    const char* command;
    std::string reply;
    int64_t maxArticleSize;
    std::function<void(TmsNNTP&)> operation;
    std::string error;
};

void PrintTo(const EndlessCase& c, std::ostream* os)
{
    *os << c.name;
}

class EndlessTest : public HostileServerTest, public ::testing::WithParamInterface<EndlessCase> { };

TEST_P(EndlessTest, EndsAtTheLimitAndClosesTheConnection)
{
    const EndlessCase& c = GetParam();
    group->overrides[c.command] = c.reply;
    client.MaxArticleSize = c.maxArticleSize;
    client.SetNewsGroup(group->name);
    ExpectRaises<ESocketError>([&] { c.operation(client); }, c.error);
    EXPECT_EQ(errors, Strings { c.error });
    EXPECT_FALSE(client.Connected());
    // Nothing of the article stays.
    EXPECT_EQ(article.Body().Count(), 0);
    EXPECT_EQ(article.Attachments().Count(), 0);
}

void FetchArticleOne(TmsNNTP& client)
{
    client.RetrieveArticleByNumber(1);
}

void TakeOneHeader(TmsNNTP& client)
{
    TmsNgInfoItem item;
    client.RetrieveHeader(item);
}

const std::string kFiller = "X-Filler: " + std::string(4000, 'x') + "\r\n";

INSTANTIATE_TEST_SUITE_P(Servers, EndlessTest,
    ::testing::Values(
        EndlessCase { "ReplyLine", "STAT 1", "223 " + std::string(ReplyForever) + std::string(4096, 'x'),
            TktSocket::DefaultMaxBlockSize, FetchArticleOne, "Reply line longer than 65536 bytes" },
        EndlessCase { "HeaderBlock", "HEAD", "221 1 <1@test>\r\n" + std::string(ReplyForever) + kFiller,
            TktSocket::DefaultMaxBlockSize, TakeOneHeader, "Data block larger than 4194304 bytes" },
        EndlessCase { "HeaderBlockOfASmallerArticleLimit", "HEAD",
            "221 1 <1@test>\r\n" + std::string(ReplyForever) + kFiller, 65536, FetchArticleOne,
            "Data block larger than 65536 bytes" },
        EndlessCase { "ArticleBlock", "ARTICLE",
            "220 1 <1@test>\r\nSubject: x\r\n\r\n" + std::string(ReplyForever) + "M" + std::string(60, 'A')
                + "\r\n",
            100000, FetchArticleOne, "Data block larger than 100000 bytes" },
        EndlessCase { "ArticleLineWithoutEnd", "ARTICLE",
            "220 1 <1@test>\r\nSubject: x\r\n\r\n" + std::string(ReplyForever) + std::string(4096, 'y'),
            100000, FetchArticleOne, "Data block larger than 100000 bytes" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, ArticleUpToTheLimitArrives)
{
    group->texts[1] = "Subject: fits\r\n\r\n" + std::string(1000, 'a') + "\r\n";
    client.MaxArticleSize = int64_t(group->texts[1].size());
    client.SetNewsGroup(group->name);
    client.RetrieveArticleByNumber(1);
    EXPECT_EQ(article.Subject(), "fits");
    client.MaxArticleSize -= 1;
    EXPECT_THROW(client.RetrieveArticleByNumber(1), ESocketError);
}

TEST_F(HostileServerTest, UnansweredQuitHoldsTheCloseAFewSecondsAtMost)
{
    group->overrides["QUIT"] = "";
    client.TimeOut = 600;
    client.SetNewsGroup(group->name);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(client.TimeOut, 600);
}

} // namespace
} // namespace lumigrab
