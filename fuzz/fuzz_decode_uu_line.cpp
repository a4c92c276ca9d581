#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "mime/msuucode.h"

using namespace lumigrab;

namespace {

// The one-pass decoder takes exactly the full lines ("M", 60 characters of
// the table, LF or CR LF) at the start of text, each to the bytes the line
// decoder gives it.
void CheckFullLines(std::string_view text)
{
    std::string expected;
    size_t fullEnd = 0;
    for (;;) {
        const size_t lineFeed = text.find('\n', fullEnd);
        if (lineFeed == std::string_view::npos)
            break;
        std::string_view line = text.substr(fullEnd, lineFeed - fullEnd);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.size() != 61 || line[0] != 'M'
            || !std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c <= '`'; }))
            break;
        expected += DecodeUULine(line, std::string::npos);
        fullEnd = lineFeed + 1;
    }
    for (const TUULineDecoder& lines : FullUULineDecoders()) {
        std::string out(text.size() / 61 * 45 + 1, '\0');
        const TBase64Lines taken = DecodeFullUULines(text, out.data(), lines);
        Require(taken.consumed == fullEnd);
        Require(taken.written == expected.size() && out.compare(0, taken.written, expected) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    RunExpectingOnlyCodecErrors([&] {
        const std::string bytes = DecodeKeepingDestOnError(
            [&](std::string& dest) { DecodeUULine(line, dest, std::string::npos); });
        const size_t announced = line.empty() ? 0 : size_t(UUCharValue(line[0]));
        Require(bytes.size() == std::min<size_t>(announced, 45));
        Require(DecodeUULine(EncodeUULine(bytes)) == bytes);
    });
    CheckFullLines(line);
    return 0;
}
