// The bookkeeping of the parts of multi-part posts: when a post is complete,
// what is refused or dropped, what is kept of each post, and what it
// foresees of a batch of headers without recording it.
#include "news/postcollector.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/filenames.h"
#include "message/msmsgcls.h"
#include "news/overview.h"

namespace lumigrab {
namespace {

using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;

TPartMarker Marker(int part, int total, const std::string& subject = "\"a.jpg\" yEnc ")
{
    return { part, total, subject };
}

using TWhat = TPostCollector::TAdded::TWhat;

TEST(PostCollector, CompleteOnceEveryPartIsKnownWhateverTheOrder)
{
    TPostCollector posts;
    EXPECT_EQ(posts.Add(Marker(3, 3), "p", 10).what, TWhat::Noted);
    EXPECT_EQ(posts.Add(Marker(1, 3), "p", 11).what, TWhat::Noted);
    // Same subject, another poster or another count: other posts.
    EXPECT_EQ(posts.Add(Marker(2, 3), "q", 12).what, TWhat::Noted);
    EXPECT_EQ(posts.Add(Marker(2, 4), "p", 13).what, TWhat::Noted);
    const auto added = posts.Add(Marker(2, 3), "p", 14);
    ASSERT_EQ(added.what, TWhat::Complete);
    EXPECT_EQ(added.post->articles, (std::vector<std::vector<TArticleNumber>> { { 11 }, { 14 }, { 10 } }));
    // A part posted twice is noted as a copy, and completes nothing again.
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 15).what, TWhat::Noted);
    EXPECT_EQ(added.post->articles[1], (std::vector<TArticleNumber> { 14, 15 }));
    posts.ForgetArticle(*added.post, 2);
    EXPECT_EQ(added.post->articles[1], (std::vector<TArticleNumber> { 15 }));
    posts.ForgetArticle(*added.post, 2);
    EXPECT_EQ(added.post->IncompleteReport(), "Incomplete: a.jpg, parts 2 of 3 missing");
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 16).what, TWhat::Complete);
}

TEST(PostCollector, RefusesHugePostsAndDropsTheOldestWaitingOne)
{
    TPostCollector posts(2);
    EXPECT_EQ(posts.Add(Marker(1, MaxPostParts + 1), "p", 1).what, TWhat::Refused);
    EXPECT_EQ(posts.Add(Marker(2, MaxPostParts + 1), "p", 2).what, TWhat::Noted);
    // The refused post goes quietly to make room.
    const auto first = posts.Add(Marker(1, 2, "first"), "p", 3);
    EXPECT_FALSE(first.dropped);
    const auto second = posts.Add(Marker(1, 2, "second"), "p", 4);
    EXPECT_FALSE(second.dropped);
    const auto third = posts.Add(Marker(1, 2, "third"), "p", 5);
    ASSERT_TRUE(third.dropped);
    EXPECT_EQ(third.dropped->subject, "first");
    EXPECT_EQ(posts.Count(), 2u);
}

TEST(PostCollector, AJoinedPostMakesRoomBeforeAnOlderWaitingOne)
{
    TPostCollector posts(2);
    posts.Add(Marker(1, 2, "waiting"), "p", 1);
    TPost* joined = posts.Add(Marker(1, 2, "joined"), "p", 2).post;
    posts.SetState(*joined, TPost::TState::Joined);
    EXPECT_FALSE(posts.Add(Marker(1, 2, "new"), "p", 3).dropped);
    const auto next = posts.Add(Marker(1, 2, "next"), "p", 4);
    ASSERT_TRUE(next.dropped);
    EXPECT_EQ(next.dropped->subject, "waiting");
}

struct TrackedCase {
    const char* name;
    // The first of two parts of each post: its subject without the marker,
    // its poster.
    std::vector<std::pair<std::string, std::string>> parts;
    // The names of the posts followed, oldest first.
    Strings names;
};

// Subjects as long as a header line may be are told apart to their last
// byte, but what is kept of each for reports is short.
TEST(PostCollector, KeepsPostsApartHoweverLongTheirSubjectsAndLittleOfEach)
{
    const std::string filler(MaxOverviewValue - 10, 'x');
    const std::string shortName(MaxFileNameBytes, 'x');
    const TrackedCase cases[] = {
        { "subjects alike up to their last byte", { { filler + "a", "p" }, { filler + "b", "p" } },
            { shortName, shortName } },
        { "subject and poster that join into the same text",
            { { filler + "ab", "c" }, { filler + "a", "bc" }, { filler + "ab", "c" } },
            { shortName, shortName } },
        { "a quoted name longer than a file name keeps its extension",
            { { "\"" + std::string(400, 'n') + ".jpg\" yEnc " + filler, "p" } },
            { std::string(MaxFileNameBytes - 4, 'n') + ".jpg" } },
    };
    for (const TrackedCase& c : cases) {
        SCOPED_TRACE(c.name);
        TPostCollector posts;
        TArticleNumber number = 0;
        for (const auto& [subject, from] : c.parts)
            posts.Add(Marker(1, 2, subject), from, ++number);
        const std::vector<TPost*> waiting = posts.Waiting();
        Strings names;
        for (const TPost* post : waiting)
            names.push_back(post->name);
        EXPECT_EQ(names, c.names);
        for (size_t index = 0; index < waiting.size(); ++index)
            EXPECT_EQ(waiting[index]->subject, c.parts[index].first.substr(0, MaxShortString));
    }
}

TEST(PostCollector, ForeseesTheCompletingPartWithoutRecordingIt)
{
    TPostCollector posts;
    posts.Add(Marker(3, 3), "p", 10);
    // Headers of one batch, foreseen in walk order before any is added.
    EXPECT_EQ(posts.Foresee(Marker(1, 3), "p", 11), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(1, 3), "q", 12), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(1, 3), "p", 13), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(2, 3), "p", 14), (Numbers { 11, 14, 10 }));
    // Complete already: a later copy completes nothing.
    EXPECT_EQ(posts.Foresee(Marker(2, 3), "p", 15), Numbers {});
    // Nothing was recorded: the events then add the headers one by one.
    ASSERT_EQ(posts.Waiting().size(), 1u);
    EXPECT_EQ(posts.Waiting().front()->MissingParts(), (std::vector<int> { 1, 2 }));
    posts.Add(Marker(1, 3), "p", 11);
    posts.Add(Marker(1, 3), "p", 13);
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 14).what, TWhat::Complete);
}

TEST(PostCollector, ANewWalkForgetsWhatWasForeseenAndNotAdded)
{
    TPostCollector posts;
    EXPECT_EQ(posts.Foresee(Marker(1, 2), "p", 20), Numbers {});
    // A walk that ended before 20 was added; the next starts lower.
    EXPECT_EQ(posts.Foresee(Marker(2, 2), "p", 5), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(1, 2), "p", 6), (Numbers { 6, 5 }));
    // Huge or already refused posts are never fetched.
    EXPECT_EQ(posts.Foresee(Marker(1, MaxPostParts + 1), "p", 7), Numbers {});
}

} // namespace
} // namespace lumigrab
