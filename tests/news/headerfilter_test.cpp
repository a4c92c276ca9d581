#include "news/headerfilter.h"

#include <gtest/gtest.h>

#include <string>

#include "news/msnwscls.h"

namespace lumigrab {
namespace {

TmsNgInfoItem Header(const std::string& subject, const std::string& from, const std::string& bytes)
{
    TmsNgInfoItem header;
    header.Add("Subject: " + subject);
    header.Add("From: " + from);
    header.Add("Bytes: " + bytes);
    return header;
}

struct FilterCase {
    const char* name;
    THeaderFilterSettings settings;
    std::string subject;
    std::string from;
    std::string bytes;
    bool taken;
};

// Patterns are found anywhere and regardless of case; sizes bound both
// ways, 0 leaving a bound out.
TEST(HeaderFilter, TakesWhatEveryTestPasses)
{
    const FilterCase cases[] = {
        { "nothing set", {}, "anything", "anyone", "1", true },
        { "taken subject", { "harbour", "", "", 0, 0 }, "The HARBOUR at night.jpg", "p", "10", true },
        { "subject not taken", { "harbour", "", "", 0, 0 }, "sunset.jpg", "p", "10", false },
        { "skipped subject", { "", "\\.(par2|nfo)\\b", "", 0, 0 }, "x.vol01+02.PAR2 (1/3)", "p", "10", false },
        { "skipped beats taken", { "harbour", "night", "", 0, 0 }, "harbour at night", "p", "10", false },
        { "skipped poster", { "", "", "spam@", 0, 0 }, "harbour.jpg", "Flood <SPAM@example.org>", "10", false },
        { "other poster", { "", "", "spam@", 0, 0 }, "harbour.jpg", "Ann <ann@example.org>", "10", true },
        { "below the smallest", { "", "", "", 1000, 0 }, "a.jpg", "p", "999", false },
        { "at the smallest", { "", "", "", 1000, 0 }, "a.jpg", "p", "1000", true },
        { "above the largest", { "", "", "", 0, 5000 }, "a.jpg", "p", "5001", false },
        { "no size is below the smallest", { "", "", "", 6400, 0 }, "a.jpg", "p", "", false },
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(THeaderFilter(c.settings).Takes(Header(c.subject, c.from, c.bytes)), c.taken);
    }
}

TEST(HeaderFilter, RefusesWhatCannotBeUsedWithTheReason)
{
    const std::pair<THeaderFilterSettings, std::string> cases[] = {
        { { "(harbour", "", "", 0, 0 }, "Subjects to take: missing closing parenthesis at offset 8" },
        { { "", "[a-", "", 0, 0 }, "Subjects to skip: missing terminating ] for character class at offset 3" },
        { { "", "", "*x", 0, 0 }, "Posters to skip: quantifier does not follow a repeatable item at offset 0" },
        { { "", "", "", 10, 5 }, "Sizes: the smallest size is above the largest" },
        { { "", "", "", -1, 0 }, "Sizes: a size is a number of bytes, 0 for no bound" },
    };
    for (const auto& [settings, message] : cases) {
        SCOPED_TRACE(message);
        try {
            THeaderFilter filter(settings);
            ADD_FAILURE() << "taken";
        } catch (const EFilterError& error) {
            EXPECT_EQ(error.Message(), message);
        }
    }
}

TEST(HeaderFilter, CountsWhatItLeftOut)
{
    THeaderFilter filter;
    EXPECT_EQ(filter.LeftOutText(), "");
    filter.NoteLeftOut(1);
    EXPECT_EQ(filter.LeftOutText(), "1 header left out by the filters");
    filter.NoteLeftOut(1411);
    EXPECT_EQ(filter.LeftOutText(), "1,412 headers left out by the filters");
}

TEST(ExpectedArticleBytes, BytesElseLinesElseNothing)
{
    EXPECT_EQ(ExpectedArticleBytes("12345", "200"), 12345);
    EXPECT_EQ(ExpectedArticleBytes("", "200"), 200 * 64);
    EXPECT_EQ(ExpectedArticleBytes("-5", "10"), 10 * 64);
    EXPECT_EQ(ExpectedArticleBytes("lots", "many"), 0);
    EXPECT_EQ(ExpectedArticleBytes("99999999999999999999999", ""), 0);
}

} // namespace
} // namespace lumigrab
