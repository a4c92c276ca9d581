// The transfer meter: speed over the last five seconds from the client's
// progress through each article, pictures per minute since Go, and the
// article sizes read from headers.
#include <gtest/gtest.h>

#include <functional>

#include "app/transferrate.h"

namespace lumigrab {
namespace {

struct MeterCase {
    const char* name;
    std::function<void(TTransferMeter&)> events;
    qint64 nowMs;
    const char* text;
};

TEST(TransferMeter, SpeedOverTheRecentPastAndPicturesSinceTheStart)
{
    const MeterCase cases[] = {
        { "nothing yet", [](TTransferMeter&) {}, 3000, "0 B/s, 0 pictures/min" },
        { "an article in two steps",
            [](TTransferMeter& m) {
                m.ArticleStarted(1'000'000);
                m.ArticleProgress(50, 400);
                m.ArticleDone(1000);
            },
            1000, "1.0 MB/s, 0 pictures/min" },
        // Within the first second the rate is taken over a whole second.
        { "early",
            [](TTransferMeter& m) {
                m.ArticleStarted(200'000);
                m.ArticleDone(100);
                m.PictureKept();
            },
            200, "200 kB/s, 60 pictures/min" },
        // Progress that goes back or beyond 100 % counts nothing twice.
        { "progress back and beyond",
            [](TTransferMeter& m) {
                m.ArticleStarted(10'000);
                m.ArticleProgress(80, 500);
                m.ArticleProgress(40, 600);
                m.ArticleProgress(250, 700);
                m.ArticleDone(800);
            },
            2000, "5 kB/s, 0 pictures/min" },
        { "an article of unknown size",
            [](TTransferMeter& m) {
                m.ArticleStarted(0);
                m.ArticleDone(500);
                m.PictureKept();
            },
            2000, "0 B/s, 30 pictures/min" },
        // Five seconds on, an article counts no more; pictures always do.
        { "old arrivals drop out",
            [](TTransferMeter& m) {
                m.ArticleStarted(900'000);
                m.ArticleDone(1000);
                m.ArticleStarted(30'000);
                m.ArticleDone(9000);
                m.PictureKept();
                m.PictureKept();
            },
            30000, "0 B/s, 4 pictures/min" },
        // Whole articles from other connections add to the one in
        // progress, which keeps its own count.
        { "articles on other connections",
            [](TTransferMeter& m) {
                m.ArticleStarted(100'000);
                m.ArticleProgress(50, 300);
                m.ArticleArrived(400'000, 400);
                m.ArticleArrived(-1, 500);
                m.ArticleArrived(500'000, 600);
                m.ArticleDone(900);
                m.PictureKept();
            },
            2000, "500 kB/s, 30 pictures/min" },
        { "the last five seconds",
            [](TTransferMeter& m) {
                m.ArticleStarted(900'000);
                m.ArticleDone(1000);
                m.ArticleStarted(30'000);
                m.ArticleDone(9000);
            },
            10000, "6 kB/s, 0 pictures/min" },
        { "start counts from nothing again",
            [](TTransferMeter& m) {
                m.ArticleStarted(50'000);
                m.ArticleProgress(50, 100);
                m.PictureKept();
                m.Start(100'000);
                m.ArticleProgress(100, 100'500);
            },
            101'000, "0 B/s, 0 pictures/min" },
    };
    for (const MeterCase& c : cases) {
        SCOPED_TRACE(c.name);
        TTransferMeter meter;
        meter.Start(0);
        c.events(meter);
        EXPECT_EQ(meter.Text(c.nowMs).toStdString(), c.text);
    }
}

} // namespace
} // namespace lumigrab
