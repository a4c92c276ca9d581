// The part marker of a multi-part post's subject: the last "(k/N)" or
// "[k/N]", taken out; the name reports give the post.
#include "news/partmarker.h"

#include <gtest/gtest.h>

namespace lumigrab {
namespace {

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

} // namespace
} // namespace lumigrab
