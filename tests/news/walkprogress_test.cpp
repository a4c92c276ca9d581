// The walk's progress text: headers walked of those faced, their rate, and
// the hint for a long first walk.
#include <gtest/gtest.h>

#include <string>

#include "news/walkprogress.h"

namespace lumigrab {
namespace {

using namespace std::chrono_literals;
using TClock = TWalkProgress::TClock;

struct ProgressCase {
    // HeadersAhead's arguments.
    TArticleNumber count, first, last, startBeforeEnd;
    std::optional<TArticleNumber> walkedUpTo;
    int64_t batch;
    uint64_t walked;
    TClock::duration elapsed;
    std::string text;
};

class WalkProgressText : public ::testing::TestWithParam<ProgressCase> { };

TEST_P(WalkProgressText, TellsWhatTheWalkFaces)
{
    const ProgressCase& c = GetParam();
    const TClock::time_point start = TClock::now();
    TWalkProgress progress(HeadersAhead(c.count, c.first, c.last, c.startBeforeEnd, c.walkedUpTo, c.batch),
        !c.walkedUpTo, start);
    for (uint64_t i = 0; i < c.walked; ++i)
        progress.Walked();
    EXPECT_EQ(progress.Text(start + c.elapsed, "hint"), c.text);
}

constexpr TArticleNumber Big = 4294967296u;

INSTANTIATE_TEST_SUITE_P(Walks, WalkProgressText,
    ::testing::Values(ProgressCase { 50000000, Big, Big + 49999999, 0, {}, 0, 1250, 500ms,
                          "1,250 of 50,000,000 headers; hint" },
        ProgressCase { 50000000, Big, Big + 49999999, 0, {}, 0, 9600, 2s, "9,600 of 50,000,000 headers, 4,800 headers/s; hint" },
        // Starting near the end, or a batch, makes it short: no hint.
        ProgressCase { 50000000, Big, Big + 49999999, 5000, {}, 0, 10, 0s, "10 of 5,000 headers" },
        ProgressCase { 50000000, Big, Big + 49999999, 0, {}, 5000, 10, 0s, "10 of 5,000 headers" },
        // A later walk goes on after the last header; no hint however far.
        ProgressCase { 50000000, Big, Big + 49999999, 0, Big + 49000000, 0, 3, 0s, "3 of 999,999 headers" },
        ProgressCase { 50000000, 1, MaxArticleNumber, 0, MaxArticleNumber, 0, 0, 0s, "0 headers" },
        // The GROUP count is an estimate the walk may pass.
        ProgressCase { 2, 1, 10, 0, {}, 0, 3, 1s, "3 headers, 3 headers/s" }));

} // namespace
} // namespace lumigrab
