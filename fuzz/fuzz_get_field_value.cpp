// Header lookup over arbitrary header blocks. The input's first line is
// the field name; the rest is split into header lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/msmsgcls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t nameEnd = input.find('\n');
    const std::string_view name = input.substr(0, nameEnd);
    const std::string_view block
        = nameEnd == std::string_view::npos ? std::string_view() : input.substr(nameEnd + 1);

    lumigrab::TmsHeaders headers;
    headers.SetText(block);
    const std::string value = headers.GetFieldValue(name);
    if (value.size() > block.size() && !lumigrab::SameText(name, "Content-Type")
        && !lumigrab::SameText(name, "Content-Type:"))
        std::abort();
    // A longer cut only lets more of the same value through.
    const size_t cut = lumigrab::MaxShortString;
    if (headers.GetFieldValue(name, 16 * 1024).substr(0, cut) != value.substr(0, cut))
        std::abort();
    headers.GetFieldValue("Content-Type");
    const int before = headers.Count();
    headers.RemoveField(name);
    if (headers.Count() > before)
        std::abort();
    return 0;
}
