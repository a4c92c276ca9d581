// Article numbers read from servers' words: plain digits that fit 64 bits.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "news/articlenumber.h"

namespace lumigrab {
namespace {

struct ParseCase {
    std::string text;
    std::optional<TArticleNumber> number;
};

class ArticleNumberParse : public ::testing::TestWithParam<ParseCase> { };

TEST_P(ArticleNumberParse, ReadsPlainDigitsThatFit)
{
    EXPECT_EQ(ParseArticleNumber(GetParam().text), GetParam().number) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Words, ArticleNumberParse,
    ::testing::Values(ParseCase { "0", 0 }, ParseCase { "007", 7 }, ParseCase { "18446744073709551615", MaxArticleNumber },
        // The second would read as 4294967297 were the value allowed to wrap.
        ParseCase { "18446744073709551616", std::nullopt }, ParseCase { "18446744078004518913", std::nullopt },
        ParseCase { "+1", std::nullopt }, ParseCase { "-1", std::nullopt }, ParseCase { "4294 967297", std::nullopt },
        ParseCase { "0x10", std::nullopt }, ParseCase { "", std::nullopt }));

} // namespace
} // namespace lumigrab
