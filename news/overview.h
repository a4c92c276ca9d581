// Overview lines, the server's digest of a group (RFC 3977 OVER, RFC 2980
// XOVER): one line per article, its number and the values of a few header
// fields, separated by tabs. A header walk reads a thousand of them with one
// command instead of one HEAD and one NEXT per article.
//
// Both the lines and the list of their fields come from the server, so
// they are read leniently and held to limits: a line that names no article
// number in plain digits is passed over, values are cut to MaxOverviewValue
// bytes, and at most MaxOverviewExtras extra fields are taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "news/msnwscls.h"

namespace lumigrab {

inline constexpr size_t MaxOverviewValue = 16 * 1024;
inline constexpr size_t MaxOverviewExtras = 32;
// Longest header name taken for an extra field.
inline constexpr size_t MaxOverviewFieldName = 64;

// The fields of an overview line after the article number: the seven every
// server sends first ("Subject", "From", "Date", "Message-ID",
// "References", "Bytes", "Lines"), then the extras LIST OVERVIEW.FMT names.
class TOverviewFormat {
public:
    struct TField {
        // The header name without its colon; empty for a column that
        // becomes no header line (metadata such as ":bytes", or a name
        // that is no header name).
        std::string name;
        // The value arrives as "Name: value" (":full" in the list).
        bool full = false;
    };

    // The columns after the seventh.
    std::vector<TField> Extras;

    // Reads the LIST OVERVIEW.FMT data, one entry a line. Entries past the
    // seventh are the extras; the first seven are fixed whatever the list
    // says.
    static TOverviewFormat FromList(std::string_view data);
};

// The header names of the seven fixed columns, in order.
const std::vector<std::string_view>& OverviewFieldNames();

// Reads one overview line (without its line end) into item: Number from the
// first column, the other columns as header lines ("Subject: ..."), empty
// ones left out. Returns false, and leaves item alone, when the first
// column is no article number in plain digits (no blank, sign or prefix;
// 1 to MaxArticleNumber).
bool ReadOverviewLine(std::string_view line, const TOverviewFormat& format, TmsNgInfoItem& item);

// The article numbers of a LISTGROUP data block (one a line, without the
// end line) that lie in first..last, ascending and each once. Lines that
// are no article number are passed over.
std::vector<TArticleNumber> ReadArticleNumbers(
    std::string_view data, TArticleNumber first, TArticleNumber last);

} // namespace lumigrab
