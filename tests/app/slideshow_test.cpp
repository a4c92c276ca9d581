// The slideshow's steps: Forward while pictures follow, waiting at the
// last while more may come, ending there otherwise.
#include "app/slideshow.h"

#include <gtest/gtest.h>

#include <QTest>

#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

TEST(Slideshow, StepsWaitsOrEndsAtTheLast)
{
    struct Case {
        const char* name;
        int pictures;
        bool moreComing;
        // Where it is after the ticks, and whether it still runs.
        int at;
        bool running;
    };
    const Case cases[] = {
        { "ToTheLastThenEnds", 3, false, 2, false },
        { "WaitsAtTheLastWhileGoRuns", 3, true, 2, true },
        { "OnePicture", 1, false, 0, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSlideshow slideshow;
        int at = 0;
        int ended = 0;
        slideshow.AtLast = [&] { return at + 1 >= c.pictures; };
        slideshow.MoreComing = [&] { return c.moreComing; };
        slideshow.Forward = [&] { ++at; };
        slideshow.OnEnded = [&] { ++ended; };
        slideshow.Start(5);
        EXPECT_TRUE(QTest::qWaitFor([&] { return at == c.at && slideshow.Running() == c.running; }, 5000));
        // Some ticks more change nothing.
        QTest::qWait(30);
        EXPECT_EQ(at, c.at);
        EXPECT_EQ(slideshow.Running(), c.running);
        EXPECT_EQ(ended, c.running ? 0 : 1);
        slideshow.Stop();
        EXPECT_EQ(ended, 1);
    }
}

} // namespace
} // namespace lumigrab
