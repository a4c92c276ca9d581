#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "mime/msmime.h"

using namespace lumigrab;

namespace {

// Lines as the message decoder hands them over: split at CR LF, CR or LF.
void DecodeLines(std::string_view text)
{
    TStringList lines;
    lines.SetText(text);
    TMemoryStream stream;
    TQuotedPrintable(stream, lines).Decode();
}

// Text without line breaks comes back with one CR LF (unless it ends in
// the end-of-file mark).
void RoundTrip(std::string_view text)
{
    if (text.find_first_of("\r\n") != std::string_view::npos || text.empty())
        return;
    TMemoryStream source;
    source.Assign(std::string(text));
    TStringList lines;
    TQuotedPrintable(source, lines).Encode();
    TMemoryStream target;
    TQuotedPrintable(target, lines).Decode();
    const std::string expected = std::string(text) + (text.back() == '\x1A' ? "" : "\r\n");
    Require(target.View() == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RunExpectingOnlyCodecErrors([&] {
        const std::string line = DecodeQuotedPrintable(text);
        Require(line.size() <= kShortTextMax && line.find_first_of("\r\n") == std::string::npos);
    });
    RunExpectingOnlyCodecErrors([&] { DecodeLines(text); });
    RunExpectingOnlyCodecErrors([&] { RoundTrip(text); });
    return 0;
}
