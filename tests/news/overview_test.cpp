// The readers of what a server lists: LISTGROUP's article numbers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "news/overview.h"

namespace lumigrab {
namespace {

using Numbers = std::vector<TArticleNumber>;

// LISTGROUP's list as servers send it: CR LF or LF, blanks, numbers out of
// order, twice or outside the range asked for, lines that are no number.
TEST(ArticleNumbers, InTheRangeAscendingEachOnce)
{
    EXPECT_EQ(ReadArticleNumbers("9\r\n3\r\n 5 \n3\r\n12\r\n2\r\nx\r\n-4\r\n\r\n7", 3, 11),
        (Numbers { 3, 5, 7, 9 }));
    EXPECT_EQ(ReadArticleNumbers("", 1, 10), Numbers {});
    EXPECT_EQ(ReadArticleNumbers("2147483647\r\n2147483648\r\n", 1, INT32_MAX), Numbers { INT32_MAX });
}

} // namespace
} // namespace lumigrab
