#include "news/articlenumber.h"

#include <charconv>

#include "message/msutils.h"

namespace lumigrab {

std::optional<TArticleNumber> ParseArticleNumber(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    TArticleNumber number = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    // from_chars reports a value past 64 bits as out of range.
    if (result.ec != std::errc() || result.ptr != text.data() + text.size())
        return std::nullopt;
    return number;
}

std::optional<TArticleNumber> ReplyNumber(std::string_view reply, int index)
{
    return ParseArticleNumber(ExtractWord(reply, index));
}

} // namespace lumigrab
