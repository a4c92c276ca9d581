// The check shared by the codecs' one-pass line decoders: each
// implementation takes exactly the leading lines of text its line format
// allows (LF or CR LF ended), each to the bytes the line decoder gives it.
#pragma once

#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"

namespace lumigrab {

// accept(line) says whether a line (without its end) is one the one-pass
// decoders take; decodeLine(line) gives its bytes; decodeLines(text, out,
// decoder) runs one implementation into out, which holds outSize bytes.
template <typename Accept, typename DecodeLine, typename Decoders, typename DecodeLines>
void CheckOnePassLines(std::string_view text, Accept accept, DecodeLine decodeLine, const Decoders& decoders,
    size_t outSize, DecodeLines decodeLines)
{
    std::string expected;
    size_t takenEnd = 0;
    for (size_t lineFeed; (lineFeed = text.find('\n', takenEnd)) != std::string_view::npos;
         takenEnd = lineFeed + 1) {
        std::string_view line = text.substr(takenEnd, lineFeed - takenEnd);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (!accept(line))
            break;
        expected += decodeLine(line);
    }
    for (const auto& decoder : decoders) {
        std::string out(outSize, '\0');
        const auto taken = decodeLines(text, out.data(), decoder);
        Require(taken.consumed == takenEnd);
        Require(taken.written == expected.size() && out.compare(0, taken.written, expected) == 0);
    }
}

} // namespace lumigrab
