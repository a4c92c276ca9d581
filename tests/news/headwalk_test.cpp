// The plain header walk (one HEAD and one NEXT per article) against a
// scripted server: the exact command sequences, counts, handlers that change
// what the walk meets, and servers on which it must still move on from the
// first article they have.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "news/msnntp.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::HeaderNumbers;
using testing::HostileServerTest;
using testing::NntpClientTest;
using testing::PrintTo;
using testing::RecordSentLines;
using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;

// ---- counts, and handlers that change what the walk meets

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
        const TArticleNumber number = client.HeaderList.Entries(num).Number;
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
    EXPECT_EQ(client.LastHeaderNumber(), std::nullopt);
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(HeaderNumbers(client), Numbers { 1 });
}

// ---- a walk always moves on, from the first article the server still has

struct WalkCase {
    const char* name;
    std::map<std::string, std::optional<std::string>> overrides;
    std::set<TArticleNumber> missing;
    Numbers headers;
    std::string error; // none: the walk reaches the end of the group
    // Asks what the server offers (and so may use LISTGROUP).
    bool asksCapabilities = false;
    // A command the walk must have sent.
    std::string sent = "";
};

class WalkTest : public HostileServerTest, public ::testing::WithParamInterface<WalkCase> { };

TEST_P(WalkTest, MovesOnOrEndsWithAClearError)
{
    const WalkCase& c = GetParam();
    group->overrides = c.overrides;
    group->missing = c.missing;
    client.UseOverview = c.asksCapabilities;
    client.SetNewsGroup(group->name);
    const auto sent = testing::RecordSentLines(client);
    // A walk that does not end by itself is cut off rather than left to
    // hang the test.
    client.OnNextHeaderRetrieved = [this](TObject*, int num) {
        if (num >= 100)
            client.Cancel();
    };
    int ends = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++ends; };
    if (c.error.empty())
        client.RetrieveHeaders(0, true);
    else
        ExpectRaises<ESocketError>([&] { client.RetrieveHeaders(0, true); }, c.error);
    EXPECT_EQ(HeaderNumbers(client), c.headers);
    EXPECT_EQ(ends, c.error.empty() ? 1 : 0);
    if (!c.sent.empty()) {
        EXPECT_NE(std::find(sent->begin(), sent->end(), c.sent), sent->end()) << c.sent;
    }
    // Replies the walk answers itself are no errors.
    EXPECT_EQ(errors, c.error.empty() ? Strings {} : Strings { c.error });
    EXPECT_TRUE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(Servers, WalkTest,
    ::testing::Values(WalkCase { "NextAnswersTheSameArticle", { { "NEXT", "223 1 <1@test>\r\n" } }, {}, { 1 },
                          "The server did not move on to a later article (NEXT answered 1 after 1)" },
        WalkCase { "NextAnswersAnEarlierOne", { { "NEXT", "223 0 <0@test>\r\n" } }, {}, { 1 },
            "The server did not move on to a later article (NEXT answered 0 after 1)" },
        // HEAD stays at article 1 while NEXT claims 3, twice.
        WalkCase { "NextStuckFurtherOn", { { "NEXT", "223 3 <3@test>\r\n" } }, {}, { 1, 1 },
            "The server did not move on to a later article (NEXT answered 3 after 3)" },
        // GROUP made the first article left the current one.
        WalkCase { "FirstArticlesExpired", {}, { 1, 2 }, { 3, 4, 5 }, "" },
        // A server that keeps its pointer on the missing article.
        WalkCase { "FirstAndCurrentGone",
            { { "STAT 1", "423 no such article\r\n" }, { "STAT", "420 no current article\r\n" } }, {},
            { 2, 3, 4, 5 }, "" },
        // Without a current article NEXT cannot help: the numbers after the
        // first are tried until one exists.
        WalkCase { "NoCurrentArticleNorNext",
            { { "STAT", "420 no current article\r\n" }, { "NEXT", "420 no current article\r\n" } },
            { 1, 2, 3 }, { 4 }, "420 no current article" },
        WalkCase {
            "EveryArticleGone", { { "STAT", "420 no current article\r\n" } }, { 1, 2, 3, 4, 5 }, {}, "" },
        // An RFC 3977 reader lists what it has.
        WalkCase { "ListGroupFindsTheNext",
            { { "CAPABILITIES", "101 capabilities\r\nVERSION 2\r\nREADER\r\n.\r\n" },
                { "STAT", "420 no current article\r\n" },
                { "LISTGROUP lumigrab.test 2-5", "211 2 4 5 lumigrab.test\r\n4\r\n5\r\n.\r\n" },
                { "STAT 2", "500 not expected\r\n" } },
            { 1, 2, 3 }, { 4, 5 }, "", true, "LISTGROUP lumigrab.test 2-5" },
        // RFC 3977 allows an empty group to answer so.
        WalkCase { "EmptyGroup", { { "GROUP lumigrab.test", "211 0 0 0 lumigrab.test\r\n" } }, {}, {}, "" },
        WalkCase {
            "LastBelowFirst", { { "GROUP lumigrab.test", "211 3 10 9 lumigrab.test\r\n" } }, {}, {}, "" },
        WalkCase { "EmptyGroupWithOverview",
            { { "GROUP lumigrab.test", "211 0 0 0 lumigrab.test\r\n" },
                { "CAPABILITIES", "101 capabilities\r\nVERSION 2\r\nREADER\r\nOVER\r\n.\r\n" } },
            {}, {}, "", true }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
