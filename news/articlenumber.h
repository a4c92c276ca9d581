// Article numbers as servers count them. Busy groups passed 2^31 long ago
// and servers count on past 2^32, so a number is an unsigned 64-bit value
// wherever it travels: replies, overview lines, header lists, the pool, the
// post collector, settings and status texts.
//
// Numbers come from strangers, so they are read strictly: plain ASCII
// digits, nothing else, and a value that fits. Arithmetic on them stays
// inside 0..MaxArticleNumber and never wraps.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lumigrab {

using TArticleNumber = uint64_t;

inline constexpr TArticleNumber MaxArticleNumber = UINT64_MAX;
// Where a number is kept beside others that are all 1 or more, this one
// says "none": servers number articles from 1.
inline constexpr TArticleNumber NoArticle = 0;

// The number text spells: one or more ASCII digits and nothing else (no
// sign, no blank, no prefix), at most MaxArticleNumber; nullopt otherwise.
// 0 is a number here: GROUP replies count an empty group with it.
std::optional<TArticleNumber> ParseArticleNumber(std::string_view text);

// The index-th blank-separated word of a reply line read as above ("223 12
// <id>": word 1 is 12); nullopt when the word is missing or no number.
std::optional<TArticleNumber> ReplyNumber(std::string_view reply, int index);

// number + count, held at MaxArticleNumber.
constexpr TArticleNumber NumberAfter(TArticleNumber number, uint64_t count)
{
    return count > MaxArticleNumber - number ? MaxArticleNumber : number + count;
}

// The first of the last count numbers up to last, held at floor: the start
// of a walk over a group's newest articles.
constexpr TArticleNumber FirstOfLast(TArticleNumber last, uint64_t count, TArticleNumber floor)
{
    if (count == 0 || count > last)
        return floor;
    const TArticleNumber first = last - count + 1;
    return first < floor ? floor : first;
}

} // namespace lumigrab
