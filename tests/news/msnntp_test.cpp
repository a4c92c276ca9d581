// The news client against a scripted loopback server: selecting groups and
// selecting them again, replies that end an operation, what is refused
// before anything is sent, the group list, commands from elsewhere while one
// waits, and the article it loads into.
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
using testing::NntpClientTest;
using testing::PrintTo;
using testing::RecordSentLines;
using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;

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
    EXPECT_EQ(client.LastHeaderNumber(), std::nullopt);
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
    EXPECT_EQ(client.ArticleCount(), 0u);
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
