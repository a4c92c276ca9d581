// Which headers a walk takes, as the user sets it for a group: subjects to
// take and subjects to skip, posters to skip, and a size range. A binary
// group's floods are many times the pictures wanted; a header the filter
// leaves out is never fetched, and its multi-part post is never followed.
//
// Patterns are Perl-compatible regular expressions (QRegularExpression),
// found anywhere in the text and regardless of case, as newsreaders' filters
// match; an empty one leaves its test out. Sizes are in bytes, as headers
// tell them (ExpectedArticleBytes); a multi-part post is measured by the
// sum of its parts once it has all of them.
#pragma once

#include <QRegularExpression>

#include <cstdint>
#include <optional>
#include <string>

#include "base/sysutils.h"

namespace lumigrab {

class TmsNgInfoItem;

// An article's size as its header tells it: the "Bytes" value, else about
// 64 bytes for each of its "Lines"; 0 when neither is a number.
int64_t ExpectedArticleBytes(const std::string& bytesValue, const std::string& linesValue);
int64_t ExpectedArticleBytes(const TmsNgInfoItem& header);

struct THeaderFilterSettings {
    // Only subjects that match; empty takes every subject.
    std::string TakeSubjects;
    std::string SkipSubjects;
    std::string SkipPosters;
    // 0 for no bound.
    int64_t MinBytes = 0;
    int64_t MaxBytes = 0;

    bool operator==(const THeaderFilterSettings&) const = default;
};

// Why pattern does not compile ("missing closing parenthesis at offset
// 4"); nothing for one that does, and for an empty one.
std::optional<std::string> PatternError(const std::string& pattern);

// A filter that cannot be used: "Subjects to skip: missing closing
// parenthesis at offset 4".
class EFilterError : public Exception {
public:
    using Exception::Exception;
};

class THeaderFilter {
public:
    // Takes every header.
    THeaderFilter() = default;
    // Raises EFilterError naming the field for a pattern that does not
    // compile, and for a size range whose bounds are negative or crossed.
    explicit THeaderFilter(const THeaderFilterSettings& settings);

    // The header's subject (whole, as long as it is) and poster pass.
    bool TakesText(const TmsNgInfoItem& header) const;
    bool TakesSize(int64_t bytes) const;
    bool BoundsSize() const { return minBytes_ > 0 || maxBytes_ > 0; }
    // TakesText and TakesSize of its own size.
    bool Takes(const TmsNgInfoItem& header) const;

    // Headers left out so far, counted by the caller as it leaves them out.
    void NoteLeftOut(uint64_t headers) { leftOut_ += headers; }
    uint64_t LeftOut() const { return leftOut_; }
    // "412 headers left out by the filters"; empty when none was.
    std::string LeftOutText() const;

private:
    QRegularExpression take_;
    QRegularExpression skip_;
    QRegularExpression skipPosters_;
    int64_t minBytes_ = 0;
    int64_t maxBytes_ = 0;
    uint64_t leftOut_ = 0;
};

} // namespace lumigrab
