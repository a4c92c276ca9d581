// Walking a text a line at a time without copying it.
#pragma once

#include <cstddef>
#include <string_view>

namespace lumigrab {

// One line of text, without its line break (LF or CR LF), and where the
// line after it begins (the text's size after the last line).
struct TTextLine {
    std::string_view text;
    size_t next;
};

TTextLine LineAt(std::string_view text, size_t start);

} // namespace lumigrab
