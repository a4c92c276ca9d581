#include "news/walkprogress.h"

#include <algorithm>

namespace lumigrab {

namespace {

constexpr auto MinRateTime = std::chrono::seconds(1);

} // namespace

uint64_t HeadersAhead(TArticleNumber count, TArticleNumber first, TArticleNumber last,
    TArticleNumber startBeforeEnd, std::optional<TArticleNumber> walkedUpTo, int64_t batch)
{
    TArticleNumber start = FirstOfLast(last, startBeforeEnd, first);
    if (walkedUpTo) {
        if (*walkedUpTo >= last)
            return 0;
        start = *walkedUpTo + 1;
    }
    if (last < start)
        return 0;
    // last - start + 1 without wrapping when the span is every number.
    uint64_t ahead = std::min<uint64_t>(NumberAfter(last - start, 1), count);
    if (batch > 0)
        ahead = std::min<uint64_t>(ahead, uint64_t(batch));
    return ahead;
}

std::string GroupedNumber(uint64_t number)
{
    std::string digits = std::to_string(number);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, ',');
    return digits;
}

TWalkProgress::TWalkProgress(uint64_t ahead, bool firstWalk, TClock::time_point start)
    : ahead_(ahead)
    , firstWalk_(firstWalk)
    , start_(start)
{
}

std::optional<uint64_t> TWalkProgress::Rate(TClock::time_point now) const
{
    const auto elapsed = now - start_;
    if (elapsed < MinRateTime)
        return std::nullopt;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return uint64_t(double(walked_) / seconds + 0.5);
}

std::string TWalkProgress::Text(TClock::time_point now, std::string_view longWalkHint) const
{
    std::string text = GroupedNumber(walked_);
    if (ahead_ > 0 && walked_ <= ahead_)
        text += " of " + GroupedNumber(ahead_);
    text += " headers";
    if (const std::optional<uint64_t> rate = Rate(now))
        text += ", " + GroupedNumber(*rate) + " headers/s";
    if (Long() && !longWalkHint.empty()) {
        text += "; ";
        text += longWalkHint;
    }
    return text;
}

} // namespace lumigrab
