// uuencode: recognising "begin" lines and converting single lines.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/sysutils.h"
#include "mime/msmime.h"

namespace lumigrab {

// The 64 characters of a uuencoded line: "`" stands for 0, then "!" to "_".
extern const std::string_view UUTable;

// True for a "begin <mode> <name>" line: "begin" in any case, at least nine
// characters, and the first three characters after "begin" (blanks
// skipped) read as an integer. Never raises.
bool IsUUBeginLine(std::string_view line);

// The file name of a "begin" line: the text after "begin", a blank, a
// three-digit mode and a blank, up to the next blank, or between double
// quotes. Empty when there is none (also for a mode of other length).
std::string GetUUFileName(std::string_view line);

// The 6-bit value of a uuencode character; the blank counts as 0 like "`".
// A character outside the table raises EInOutError("Invalid Character").
int UUCharValue(char c);

// Decodes one encoded line (length character first) into dest, replaced:
// exactly the announced number of bytes (at most 45, and at most maxLen);
// missing characters count as zero bits, an empty line yields nothing. An
// invalid character raises EInOutError("Invalid Character") and leaves dest
// unchanged.
void DecodeUULine(std::string_view line, std::string& dest, size_t maxLen = kShortTextMax);
std::string DecodeUULine(std::string_view line, size_t maxLen = kShortTextMax);

// Decodes the full lines at the start of text in one pass: "M" (45 bytes)
// and 60 characters of the table, ended by LF or CR LF. Stops before the
// first other line and leaves it to DecodeUULine; each line taken gives
// the bytes that function gives it. out needs room for text.size() / 61 *
// 45 bytes and one byte of slack.
TBase64Lines DecodeFullUULines(std::string_view text, char* out);

// One way of decoding full lines, as DecodeFullUULines does: the portable
// one a group of four characters at a time, others many at once.
struct TUULineDecoder {
    const char* name;
    TBase64Lines (*decode)(std::string_view text, char* out);
};

// The implementations this processor runs, fastest first; the last one is
// the portable one.
std::span<const TUULineDecoder> FullUULineDecoders();
// DecodeFullUULines with the given implementation.
TBase64Lines DecodeFullUULines(std::string_view text, char* out, const TUULineDecoder& lines);

// Encodes up to 45 bytes into one line (length character first); longer
// input raises Exception, as a line cannot announce more.
void EncodeUULine(std::string_view src, std::string& dest, size_t maxLen = kShortTextMax);
std::string EncodeUULine(std::string_view src, size_t maxLen = kShortTextMax);

} // namespace lumigrab
