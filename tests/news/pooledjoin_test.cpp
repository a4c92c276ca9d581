// The join of a multi-part post whose parts the pool's connections bring:
// each written in part order, whichever thread brings it, and the end of
// the join at a failure or a file that is no picture.
#include "news/pooledjoin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "post_test_support.h"
#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

using testing::Article;
using testing::YEncPart;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

class PooledJoinTest : public testing::PostFileTest { };

// Parts brought by several threads at once, in any order, join into the
// file that part order gives: uuencoded bodies follow one another.
TEST_F(PooledJoinTest, WritesEachPartInTurnFromAnyThread)
{
    const Strings lines = UULines(file);
    constexpr int Parts = 6;
    std::vector<std::string> articles(Parts);
    for (size_t index = 0; index < lines.size(); ++index)
        articles[std::min<size_t>(index * Parts / lines.size(), Parts - 1)] += lines[index] + "\r\n";
    articles.front() = "begin 644 six.gif\r\n" + articles.front();
    articles.back() += "`\r\nend\r\n";
    for (std::string& article : articles)
        article = Article("x", article);
    for (unsigned seed = 0; seed < 20; ++seed) {
        SCOPED_TRACE(seed);
        TPooledJoin join(std::make_unique<TPostJoiner>(partial, 1 << 20), Parts);
        std::vector<int> order { 1, 2, 3, 4, 5, 6 };
        std::shuffle(order.begin(), order.end(), std::mt19937(seed));
        std::vector<TPooledJoin::TProgress> progress(Parts);
        std::vector<std::thread> threads;
        for (int index = 0; index < Parts; ++index)
            threads.emplace_back([&, index] {
                const int part = order[size_t(index)];
                progress[size_t(index)] = join.Add(part, articles[size_t(part - 1)]);
            });
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(
            std::count_if(progress.begin(), progress.end(), [](const auto& one) { return one.finished; }), 1);
        join.Take([&](TPostJoiner& joiner) {
            EXPECT_EQ(joiner.FileName(), "six.gif");
            EXPECT_EQ(joiner.Damage(), "");
            EXPECT_EQ(ReadFileBytes(partial), file);
        });
        EXPECT_FALSE(fs::exists(partial));
    }
}

// A part that cannot be joined, or a first part naming no picture, ends the
// join: the partial file goes and the parts after it are dropped.
TEST_F(PooledJoinTest, EndsAtAFailureOrAFileThatIsNoPicture)
{
    const std::string first = Article("x", YEncPart("a.jpg", file, 1, 3, 0, 4000));
    const std::string second = Article("x", YEncPart("a.jpg", file, 2, 3, 4000, 4000));
    {
        TPooledJoin join(std::make_unique<TPostJoiner>(partial, 1 << 20), 3);
        EXPECT_EQ(join.Add(2, second).written, 0);
        const TPooledJoin::TProgress failed = join.Add(1, Article("x", "just text\r\n"));
        EXPECT_TRUE(failed.failure);
        EXPECT_THROW(std::rethrow_exception(failed.failure), EPostJoinError);
        EXPECT_FALSE(fs::exists(partial));
        const TPooledJoin::TProgress dropped
            = join.Add(3, Article("x", YEncPart("a.jpg", file, 3, 3, 8000, 2000)));
        EXPECT_EQ(dropped.written, 0);
        EXPECT_FALSE(dropped.finished || dropped.failure);
    }
    TPooledJoin join(std::make_unique<TPostJoiner>(partial, 1 << 20), 3);
    EXPECT_EQ(join.Add(1, first).written, 1);
    EXPECT_TRUE(fs::exists(partial));
    join.End();
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(join.Add(2, second).written, 0);
    TPooledJoin text(std::make_unique<TPostJoiner>(partial, 1 << 20), 2);
    const TPooledJoin::TProgress notes
        = text.Add(1, Article("x", YEncPart("notes.txt", file, 1, 2, 0, 5000)));
    EXPECT_TRUE(notes.noPicture);
    EXPECT_FALSE(fs::exists(partial));
}

} // namespace
} // namespace lumigrab
