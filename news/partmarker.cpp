#include "news/partmarker.h"

#include <charconv>

#include "base/filenames.h"

namespace lumigrab {

namespace {

constexpr size_t MaxDigits = 9;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads a number of 1 to MaxDigits digits ending right before end; returns
// where it begins, or npos.
size_t NumberBefore(std::string_view text, size_t end, int& value)
{
    size_t begin = end;
    while (begin > 0 && end - begin < MaxDigits && IsDigit(text[begin - 1]))
        --begin;
    if (begin == end)
        return std::string_view::npos;
    std::from_chars(text.data() + begin, text.data() + end, value);
    return begin;
}

// The marker whose closing bracket is at close, if there is one.
std::optional<TPartMarker> MarkerEndingAt(std::string_view subject, size_t close)
{
    const char open = subject[close] == ')' ? '(' : '[';
    TPartMarker marker;
    const size_t totalBegin = NumberBefore(subject, close, marker.total);
    if (totalBegin == std::string_view::npos || totalBegin == 0 || subject[totalBegin - 1] != '/')
        return std::nullopt;
    const size_t partBegin = NumberBefore(subject, totalBegin - 1, marker.part);
    if (partBegin == std::string_view::npos || partBegin == 0 || subject[partBegin - 1] != open)
        return std::nullopt;
    marker.subject = std::string(subject.substr(0, partBegin - 1));
    marker.subject += subject.substr(close + 1);
    return marker;
}

std::string_view Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::optional<TPartMarker> ReadPartMarker(std::string_view subject)
{
    for (size_t close = subject.find_last_of(")]"); close != std::string_view::npos;
         close = close == 0 ? std::string_view::npos : subject.find_last_of(")]", close - 1)) {
        if (auto marker = MarkerEndingAt(subject, close))
            return marker;
    }
    return std::nullopt;
}

std::string PostDisplayName(std::string_view subjectWithoutMarker)
{
    const size_t open = subjectWithoutMarker.find('"');
    if (open != std::string_view::npos) {
        const size_t close = subjectWithoutMarker.find('"', open + 1);
        if (close != std::string_view::npos && close > open + 1)
            return FittedFileName(subjectWithoutMarker.substr(open + 1, close - open - 1));
    }
    return FittedFileName(Trimmed(subjectWithoutMarker));
}

} // namespace lumigrab
