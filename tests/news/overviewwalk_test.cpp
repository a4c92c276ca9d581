// Overview walks against a scripted server with OVER, with XOVER only, or
// without overview: the exact commands, the ranges and their gaps, the
// headers' entries, the walk's ends and a range that fails.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::Capabilities;
using testing::FakeGroup;
using testing::HeaderNumbers;
using testing::OverviewTest;
using testing::PrintTo;
using Overview = FakeGroup::Overview;
using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;

// ---- walks: ranges, gaps, counts and the group's end

struct WalkCase {
    const char* name;
    Overview overview;
    int groupSize;
    int rangeSize;
    std::set<TArticleNumber> missing;
    int count;
    int walks;
    Numbers headers;
    Strings sent;
    int lastSignals;
    TArticleNumber startBeforeEnd = 0;
    std::map<std::string, std::optional<std::string>> overrides = {};
};

class OverviewWalkTest : public OverviewTest, public ::testing::WithParamInterface<WalkCase> { };

TEST_P(OverviewWalkTest, TakesTheHeadersInRanges)
{
    const WalkCase& c = GetParam();
    group->overview = c.overview;
    group->missing = c.missing;
    group->overrides = c.overrides;
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

// The numbers first to last, and more.
std::set<TArticleNumber> Gap(TArticleNumber first, TArticleNumber last, std::set<TArticleNumber> more = {})
{
    for (TArticleNumber number = first; number <= last; ++number)
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
        // The format refused: the fixed fields.
        WalkCase { "XOverFormatRefused", Overview::XOver, 10, 4, {}, 0, 1, { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 },
            { "CAPABILITIES", "XOVER 1-4", "LIST OVERVIEW.FMT", "XOVER 5-8", "XOVER 9-13" }, 1, 0,
            { { "LIST OVERVIEW.FMT", "480 Authentication required\r\n" } } },
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

// ---- article numbers past 32 bits, and numbers that are no numbers

constexpr TArticleNumber Bits32 = TArticleNumber(1) << 32, Bits53 = TArticleNumber(1) << 53;
constexpr TArticleNumber Bits63 = TArticleNumber(1) << 63, Top = MaxArticleNumber;
const auto N = [](TArticleNumber number) { return std::to_string(number); };

// One range reaching one past the group's end, as the walk asks it.
std::string OverOf(TArticleNumber first, std::string command = "OVER ")
{
    return command + N(first) + "-" + N(NumberAfter(first, 1000));
}

// The scripted group's overview line of the article, numbered as spelled.
std::string LineSpelled(const std::string& numberField, TArticleNumber number)
{
    const std::string line = FakeGroup {}.OverviewLine(number);
    return numberField + line.substr(line.find('\t'));
}

struct NumberCase {
    const char* name;
    Overview overview;
    TArticleNumber first;
    TArticleNumber startBeforeEnd;
    std::map<std::string, std::optional<std::string>> overrides;
    Numbers headers;
    // Without GROUP; the last header's article is fetched after the walk.
    Strings sent;
    std::string error = "";
};

class ArticleNumberWalkTest : public OverviewTest, public ::testing::WithParamInterface<NumberCase> { };

TEST_P(ArticleNumberWalkTest, WalksAndFetchesByTheServersNumbers)
{
    const NumberCase& c = GetParam();
    group->overview = c.overview;
    group->first = c.first;
    group->count = 5;
    group->overrides = c.overrides;
    client.StartBeforeEnd = c.startBeforeEnd;
    const auto walk = [&] {
        client.SetNewsGroup(group->name);
        client.RetrieveHeaders(0, true);
        client.RetrieveArticleByNumber(c.headers.back());
    };
    if (c.error.empty())
        walk();
    else
        ExpectRaises<ESocketError>(walk, c.error);
    EXPECT_EQ(HeaderNumbers(client), c.headers);
    EXPECT_EQ(Sent(), c.sent);
    if (c.error.empty()) {
        EXPECT_EQ(article.Subject(), "article " + N(c.headers.back()));
    }
}

const Strings HeadAndNext = { "HEAD", "NEXT" };

INSTANTIATE_TEST_SUITE_P(Groups, ArticleNumberWalkTest,
    ::testing::Values(
        // Newest articles beyond every number: from the group's first.
        NumberCase { "OverAcross32Bits", Overview::Over, Bits32 - 2, Top, {},
            { Bits32 - 2, Bits32 - 1, Bits32, Bits32 + 1, Bits32 + 2 },
            Concat({ Capabilities, { OverOf(Bits32 - 2), "ARTICLE " + N(Bits32 + 2) } }) },
        NumberCase { "XOverAcross53Bits", Overview::XOver, Bits53 - 3, 0, {},
            { Bits53 - 3, Bits53 - 2, Bits53 - 1, Bits53, Bits53 + 1 },
            { "CAPABILITIES", OverOf(Bits53 - 3, "XOVER "), "LIST OVERVIEW.FMT", "ARTICLE " + N(Bits53 + 1) } },
        NumberCase { "HeadWalkNewestTwoAcross63Bits", Overview::None, Bits63 - 3, 2, {}, { Bits63, Bits63 + 1 },
            Concat({ { "CAPABILITIES", OverOf(Bits63, "XOVER "), "STAT " + N(Bits63) }, HeadAndNext, HeadAndNext,
                { "ARTICLE " + N(Bits63 + 1) } }) },
        // No range or NEXT reaches past the highest number there is.
        NumberCase { "OverUpToTheHighestNumber", Overview::Over, Top - 4, 0, {},
            { Top - 4, Top - 3, Top - 2, Top - 1, Top },
            Concat({ Capabilities, { "OVER " + N(Top - 4) + "-" + N(Top), "ARTICLE " + N(Top) } }) },
        NumberCase { "HeadWalkUpToTheHighestNumber", Overview::None, Top - 4, 2, {}, { Top - 1, Top },
            Concat({ { "CAPABILITIES", "XOVER " + N(Top - 1) + "-" + N(Top), "STAT " + N(Top - 1) }, HeadAndNext,
                HeadAndNext, { "ARTICLE " + N(Top) } }) },
        // A sign, a blank inside, a number past 64 bits that would wrap to
        // the next one, a number going backwards: each line is dropped and
        // the walk goes on.
        NumberCase { "MalformedOverviewNumbersDropped", Overview::Over, Bits32, 0,
            { { OverOf(Bits32),
                "224 overview\r\n" + LineSpelled(N(Bits32), Bits32) + LineSpelled("+" + N(Bits32 + 1), Bits32 + 1)
                    + LineSpelled("4294967 297", Bits32 + 1) + LineSpelled("18446744078004518913", Bits32 + 1)
                    + LineSpelled(N(Bits32 + 3), Bits32 + 3) + LineSpelled(N(Bits32 + 2), Bits32 + 2) + ".\r\n" } },
            { Bits32, Bits32 + 3 }, Concat({ Capabilities, { OverOf(Bits32), "ARTICLE " + N(Bits32 + 3) } }) },
        NumberCase { "GroupNumberPast64Bits", Overview::Over, 1, 0,
            { { "GROUP lumigrab.test", "211 5 1 18446744073709551616 lumigrab.test\r\n" } }, {}, Capabilities,
            "Malformed reply: 211 5 1 18446744073709551616 lumigrab.test" },
        NumberCase { "NextNumberPast64Bits", Overview::None, Bits32, 0,
            { { "NEXT", "223 18446744073709551617 <x@test>\r\n" } }, { Bits32 },
            { "CAPABILITIES", OverOf(Bits32, "XOVER "), "STAT " + N(Bits32), "HEAD", "NEXT" },
            "Malformed reply: 223 18446744073709551617 <x@test>" }),
    [](const auto& info) { return std::string(info.param.name); });

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

} // namespace
} // namespace lumigrab
