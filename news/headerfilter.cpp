#include "news/headerfilter.h"

#include <algorithm>
#include <exception>

#include "message/msmsgcls.h"
#include "news/harvest.h"
#include "news/walkprogress.h"

namespace lumigrab {

namespace {

// A uuencoded line with its line end; yEnc lines are longer.
constexpr int64_t BytesPerLine = 64;

int64_t LeadingNumber(const std::string& text)
{
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        return 0;
    }
}

QRegularExpression Expression(const std::string& pattern)
{
    return QRegularExpression(QString::fromStdString(pattern), QRegularExpression::CaseInsensitiveOption);
}

QRegularExpression Compiled(const std::string& pattern, const char* field)
{
    if (pattern.empty())
        return {};
    if (const std::optional<std::string> error = PatternError(pattern))
        throw EFilterError(std::string(field) + ": " + *error);
    return Expression(pattern);
}

bool Matches(const QRegularExpression& expression, const std::string& text)
{
    return expression.match(QString::fromStdString(text)).hasMatch();
}

} // namespace

std::optional<std::string> PatternError(const std::string& pattern)
{
    const QRegularExpression expression = Expression(pattern);
    if (expression.isValid())
        return std::nullopt;
    return expression.errorString().toStdString() + " at offset " + std::to_string(expression.patternErrorOffset());
}

int64_t ExpectedArticleBytes(const std::string& bytesValue, const std::string& linesValue)
{
    const int64_t bytes = LeadingNumber(bytesValue);
    if (bytes > 0)
        return bytes;
    return std::max<int64_t>(LeadingNumber(linesValue), 0) * BytesPerLine;
}

int64_t ExpectedArticleBytes(const TmsNgInfoItem& header)
{
    return ExpectedArticleBytes(header.GetFieldValue("Bytes"), header.GetFieldValue("Lines"));
}

THeaderFilter::THeaderFilter(const THeaderFilterSettings& settings)
    : take_(Compiled(settings.TakeSubjects, "Subjects to take"))
    , skip_(Compiled(settings.SkipSubjects, "Subjects to skip"))
    , skipPosters_(Compiled(settings.SkipPosters, "Posters to skip"))
    , minBytes_(settings.MinBytes)
    , maxBytes_(settings.MaxBytes)
{
    if (minBytes_ < 0 || maxBytes_ < 0)
        throw EFilterError("Sizes: a size is a number of bytes, 0 for no bound");
    if (maxBytes_ > 0 && minBytes_ > maxBytes_)
        throw EFilterError("Sizes: the smallest size is above the largest");
}

bool THeaderFilter::TakesText(const TmsNgInfoItem& header) const
{
    if (take_.pattern().isEmpty() && skip_.pattern().isEmpty() && skipPosters_.pattern().isEmpty())
        return true;
    const std::string subject = WholeSubject(header);
    if (!take_.pattern().isEmpty() && !Matches(take_, subject))
        return false;
    if (!skip_.pattern().isEmpty() && Matches(skip_, subject))
        return false;
    return skipPosters_.pattern().isEmpty() || !Matches(skipPosters_, header.GetFieldValue("From"));
}

bool THeaderFilter::TakesSize(int64_t bytes) const
{
    return bytes >= minBytes_ && (maxBytes_ == 0 || bytes <= maxBytes_);
}

bool THeaderFilter::Takes(const TmsNgInfoItem& header) const
{
    return TakesText(header) && TakesSize(ExpectedArticleBytes(header));
}

std::string THeaderFilter::LeftOutText() const
{
    if (leftOut_ == 0)
        return {};
    return GroupedNumber(leftOut_) + (leftOut_ == 1 ? " header" : " headers") + " left out by the filters";
}

} // namespace lumigrab
