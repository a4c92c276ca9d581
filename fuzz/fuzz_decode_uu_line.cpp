#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "fuzz/one_pass_lines.h"
#include "mime/msuucode.h"

using namespace lumigrab;

namespace {

// The one-pass decoder takes the full lines ("M", 60 characters of the
// table) at the start of text.
void CheckFullLines(std::string_view text)
{
    CheckOnePassLines(
        text,
        [](std::string_view line) {
            return line.size() == 61 && line[0] == 'M'
                && std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c <= '`'; });
        },
        [](std::string_view line) { return DecodeUULine(line, std::string::npos); }, FullUULineDecoders(),
        text.size() / 61 * 45 + 1,
        [](std::string_view all, char* out, const TUULineDecoder& lines) {
            return DecodeFullUULines(all, out, lines);
        });
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
