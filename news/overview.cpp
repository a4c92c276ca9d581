#include "news/overview.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/sysutils.h"

namespace lumigrab {

namespace {

constexpr std::string_view FullSuffix = ":full";

bool IsHeaderName(std::string_view name)
{
    if (name.empty() || name.size() > MaxOverviewFieldName)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127 && c != ':'; });
}

TOverviewFormat::TField FieldOf(std::string_view entry)
{
    TOverviewFormat::TField field;
    if (entry.size() >= FullSuffix.size()
        && SameText(entry.substr(entry.size() - FullSuffix.size()), FullSuffix)) {
        field.full = true;
        entry.remove_suffix(FullSuffix.size());
    } else if (!entry.empty() && entry.back() == ':') {
        entry.remove_suffix(1);
    }
    if (IsHeaderName(entry))
        field.name = std::string(entry);
    return field;
}

std::optional<TArticleNumber> PlainArticleNumber(std::string_view text)
{
    const std::optional<TArticleNumber> number = ParseArticleNumber(text);
    if (!number || *number == NoArticle)
        return std::nullopt;
    return number;
}

// LISTGROUP's lines are read leniently: blanks around the number are
// passed over.
std::optional<TArticleNumber> ArticleNumber(std::string_view text)
{
    return PlainArticleNumber(TrimView(text));
}

// A full field repeats its name ("Xref: host group:12"); some servers leave
// it out all the same.
std::string_view WithoutName(std::string_view value, std::string_view name)
{
    value = TrimView(value);
    if (value.size() > name.size() && value[name.size()] == ':'
        && SameText(value.substr(0, name.size()), name))
        value.remove_prefix(name.size() + 1);
    return value;
}

void AddField(TmsNgInfoItem& item, std::string_view name, std::string_view value, bool full)
{
    if (full)
        value = WithoutName(value, name);
    value = TrimView(value.substr(0, MaxOverviewValue));
    if (value.empty())
        return;
    std::string line(name);
    line += ": ";
    line += value;
    // A carriage return would break the entry in two wherever the header
    // block is written out again.
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    item.Add(std::move(line));
}

} // namespace

const std::vector<std::string_view>& OverviewFieldNames()
{
    static const std::vector<std::string_view> names
        = { "Subject", "From", "Date", "Message-ID", "References", "Bytes", "Lines" };
    return names;
}

TOverviewFormat TOverviewFormat::FromList(std::string_view data)
{
    TOverviewFormat format;
    size_t entries = 0;
    ForEachLine(data, [&](std::string_view line) {
        const std::string_view entry = TrimView(line);
        if (entry.empty())
            return;
        if (entries++ < OverviewFieldNames().size() || format.Extras.size() >= MaxOverviewExtras)
            return;
        format.Extras.push_back(FieldOf(entry));
    });
    return format;
}

bool ReadOverviewLine(std::string_view line, const TOverviewFormat& format, TmsNgInfoItem& item)
{
    const size_t tab = line.find('\t');
    // A number field with a blank, a sign or a prefix is malformed: its
    // fields may well be another article's, so the line is not guessed at.
    const std::optional<TArticleNumber> number = PlainArticleNumber(line.substr(0, tab));
    if (!number)
        return false;
    item.Clear();
    item.Number = *number;
    if (tab == std::string_view::npos)
        return true;
    const auto& names = OverviewFieldNames();
    const size_t columns = names.size() + format.Extras.size();
    std::string_view rest = line.substr(tab + 1);
    for (size_t column = 0; column < columns; ++column) {
        const size_t next = rest.find('\t');
        const std::string_view value = rest.substr(0, next);
        if (column < names.size()) {
            AddField(item, names[column], value, false);
        } else {
            const TOverviewFormat::TField& field = format.Extras[column - names.size()];
            if (!field.name.empty())
                AddField(item, field.name, value, field.full);
        }
        if (next == std::string_view::npos)
            break;
        rest.remove_prefix(next + 1);
    }
    return true;
}

std::vector<TArticleNumber> ReadArticleNumbers(
    std::string_view data, TArticleNumber first, TArticleNumber last)
{
    std::vector<TArticleNumber> numbers;
    while (!data.empty()) {
        const size_t end = data.find('\n');
        const std::optional<TArticleNumber> number = ArticleNumber(data.substr(0, end));
        if (number && *number >= first && *number <= last)
            numbers.push_back(*number);
        if (end == std::string_view::npos)
            break;
        data.remove_prefix(end + 1);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

} // namespace lumigrab
