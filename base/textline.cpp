#include "base/textline.h"

namespace lumigrab {

TTextLine LineAt(std::string_view text, size_t start)
{
    const size_t lineFeed = text.find('\n', start);
    const size_t end = lineFeed == std::string_view::npos ? text.size() : lineFeed;
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return { line, lineFeed == std::string_view::npos ? text.size() : lineFeed + 1 };
}

} // namespace lumigrab
