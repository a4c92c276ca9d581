// Overview lines and the list of their fields as a server sends them: the
// input up to its first zero byte is the LIST OVERVIEW.FMT data, every line
// after it an overview line. The list gives only usable header names, within
// their limits; a line is either passed over, leaving the entry alone, or
// gives the article number its first column holds in plain digits and
// header lines of known names whose values are trimmed, within their limit
// and free of line breaks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "news/overview.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

namespace {

// What an entry holds before a line is read into it; a line passed over
// leaves it so.
constexpr TArticleNumber Untouched = 7777777777777777777u;

std::set<std::string> KnownNames(const TOverviewFormat& format)
{
    std::set<std::string> names(OverviewFieldNames().begin(), OverviewFieldNames().end());
    for (const TOverviewFormat::TField& field : format.Extras) {
        if (!field.name.empty())
            names.insert(field.name);
    }
    return names;
}

void CheckFormat(const TOverviewFormat& format)
{
    Check(format.Extras.size() <= MaxOverviewExtras);
    for (const TOverviewFormat::TField& field : format.Extras) {
        Check(field.name.size() <= MaxOverviewFieldName);
        Check(std::all_of(
            field.name.begin(), field.name.end(), [](char c) { return c > ' ' && c < 127 && c != ':'; }));
    }
}

void CheckEntry(const TmsNgInfoItem& item, const TOverviewFormat& format, const std::set<std::string>& names)
{
    Check(item.Number >= 1);
    Check(size_t(item.Count()) <= OverviewFieldNames().size() + format.Extras.size());
    for (const std::string& line : item) {
        const size_t colon = line.find(": ");
        Check(colon != std::string::npos);
        Check(names.contains(line.substr(0, colon)));
        const std::string_view value = std::string_view(line).substr(colon + 2);
        Check(!value.empty() && value.size() <= MaxOverviewValue);
        Check(static_cast<unsigned char>(value.front()) > ' '
            && static_cast<unsigned char>(value.back()) > ' ');
        Check(line.find_first_of("\r\n") == std::string::npos);
        item.GetFieldValue(line.substr(0, colon));
    }
}

// The first column holds the number in plain digits, leading zeros aside.
bool IsNumberColumn(std::string_view line, TArticleNumber number)
{
    std::string_view column = line.substr(0, line.find('\t'));
    while (column.size() > 1 && column.front() == '0')
        column.remove_prefix(1);
    return column == std::to_string(number);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const TOverviewFormat format = TOverviewFormat::FromList(
        split == std::string_view::npos ? std::string_view() : input.substr(0, split));
    CheckFormat(format);
    const std::set<std::string> names = KnownNames(format);
    std::string_view lines = split == std::string_view::npos ? input : input.substr(split + 1);
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        const std::string_view line = lines.substr(0, end);
        TmsNgInfoItem item;
        item.Number = Untouched;
        item.Add("Untouched: yes");
        if (ReadOverviewLine(line, format, item)) {
            CheckEntry(item, format, names);
            Check(IsNumberColumn(line, item.Number));
        } else
            Check(item.Number == Untouched && item.Count() == 1);
        if (end == std::string_view::npos)
            break;
        lines.remove_prefix(end + 1);
    }
    return 0;
}
