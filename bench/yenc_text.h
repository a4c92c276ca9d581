// yEnc text as posting programs write it, for the benchmarks.
#pragma once

#include <string>
#include <string_view>

namespace lumigrab::bench {

// Lines of lineLength characters ended by CR LF, the four critical
// characters escaped, and blanks and tabs at either end of a line and a dot
// at its start escaped too.
inline std::string EncodeYEncText(std::string_view bytes, size_t lineLength = 128)
{
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 32);
    size_t column = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i] + 42);
        const bool edge = column == 0 || column == lineLength - 1 || i + 1 == bytes.size();
        if (c == 0 || c == '\n' || c == '\r' || c == '=' || (edge && (c == ' ' || c == '\t'))
            || (column == 0 && c == '.')) {
            text += '=';
            text += char(c + 64);
            column += 2;
        } else {
            text += char(c);
            ++column;
        }
        if (column >= lineLength) {
            text += "\r\n";
            column = 0;
        }
    }
    return column ? text + "\r\n" : text;
}

} // namespace lumigrab::bench
