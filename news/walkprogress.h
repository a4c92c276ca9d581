// How far a header walk has come, as the window's status bar and
// lumigrab-harvest tell it: headers walked of those the walk faces, and
// headers per second ("1,250 of 50,000,000 headers, 4,800 headers/s"). A
// first walk on a group of millions takes long; saying how long it faces,
// and that starting nearer the group's end shortens it, tells the user why
// and what to do. No clock of its own: callers pass the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "news/articlenumber.h"

namespace lumigrab {

// A first walk facing more headers than this is worth the hint.
inline constexpr uint64_t LongFirstWalk = 100000;

// The headers a walk faces: from after walkedUpTo (none: where a first
// walk starts, startBeforeEnd articles before last, never before first) to
// last, at most count (the GROUP reply's estimate) and, when above 0,
// batch (the headers one Go takes).
uint64_t HeadersAhead(TArticleNumber count, TArticleNumber first, TArticleNumber last,
    TArticleNumber startBeforeEnd, std::optional<TArticleNumber> walkedUpTo, int64_t batch);

// "50,000,000".
std::string GroupedNumber(uint64_t number);

class TWalkProgress {
public:
    using TClock = std::chrono::steady_clock;

    TWalkProgress() = default;
    TWalkProgress(uint64_t ahead, bool firstWalk, TClock::time_point start);

    // One more header walked.
    void Walked() { ++walked_; }
    uint64_t Count() const { return walked_; }
    // The headers the walk faces; 0 when unknown.
    uint64_t Ahead() const { return ahead_; }
    // A first walk facing more than LongFirstWalk headers.
    bool Long() const { return firstWalk_ && ahead_ > LongFirstWalk; }
    // Headers per second since the start; none during the first second,
    // whose few headers say little.
    std::optional<uint64_t> Rate(TClock::time_point now) const;
    // "1,250 of 50,000,000 headers, 4,800 headers/s", then "; " and
    // longWalkHint for a Long walk. The "of" part is left out when the
    // walk faces an unknown number, or has passed the estimate.
    std::string Text(TClock::time_point now, std::string_view longWalkHint) const;

private:
    uint64_t ahead_ = 0;
    bool firstWalk_ = false;
    TClock::time_point start_ {};
    uint64_t walked_ = 0;
};

} // namespace lumigrab
