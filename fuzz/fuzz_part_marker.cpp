// Subjects of strangers' articles through the part-marker reader: a marker
// found gives numbers within their nine digits and a subject that is the
// input with some text of at least five characters ("(k/N)") taken out of
// it; the name for reports is never longer than the input nor than a file
// name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/filenames.h"
#include "fuzz_check.h"
#include "news/partmarker.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view subject(reinterpret_cast<const char*>(data), size);
    const auto marker = ReadPartMarker(subject);
    if (!marker)
        return 0;
    Check(marker->part >= 0 && marker->part <= 999999999);
    Check(marker->total >= 0 && marker->total <= 999999999);
    Check(marker->subject.size() + 5 <= subject.size());
    // What is left is a head and a tail of the input.
    size_t head = 0;
    while (head < marker->subject.size() && marker->subject[head] == subject[head])
        ++head;
    const size_t tail = marker->subject.size() - head;
    Check(subject.substr(subject.size() - tail) == std::string_view(marker->subject).substr(head));
    const std::string name = PostDisplayName(marker->subject);
    Check(name.size() <= subject.size() && name.size() <= MaxFileNameBytes);
    return 0;
}
