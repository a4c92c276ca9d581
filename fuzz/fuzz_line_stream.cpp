// Reads arbitrary bytes line by line to the end marker, then again after
// Reset: both passes must give the same lines, the lines the string list
// finds in the same text. The first byte stretches the input by repetition
// (up to 64 KB), so that small inputs reach across block boundaries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/linestream.h"

namespace {

std::vector<std::string> ReadToEnd(lumigrab::TLineStream& stream)
{
    std::vector<std::string> lines;
    std::string line;
    while (stream.ReadLine(line)) {
        if (stream.Eof())
            std::abort();
        lines.push_back(line);
    }
    if (!stream.Eof() || line != lumigrab::TLineStream::EndMarker)
        std::abort();
    if (stream.ReadLine(line) || line != lumigrab::TLineStream::EndMarker)
        std::abort();
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lumigrab::TLineStream stream;
    const size_t stretchTo = size > 0 ? size_t(data[0]) << 8 : 0;
    do
        stream.WriteBuffer(data, size);
    while (size > 0 && size_t(stream.Size()) < stretchTo);
    stream.Reset();
    const std::vector<std::string> first = ReadToEnd(stream);
    stream.Reset();
    if (ReadToEnd(stream) != first)
        std::abort();
    lumigrab::TStringList reference;
    reference.SetText(stream.View());
    if (reference.Lines() != first)
        std::abort();
    return 0;
}
