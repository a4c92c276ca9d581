// Attachment names from strangers' articles: the safe name and its numbered
// variants stay bare, free of control characters and within the limit, and
// numbering keeps the name's ending.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/filenames.h"
#include "fuzz_check.h"

using lumigrab_fuzz::Check;

namespace {

bool IsSafe(std::string_view name)
{
    if (name.empty() || name.size() > lumigrab::MaxFileNameBytes
        || name.find_first_not_of('.') == std::string_view::npos)
        return false;
    for (const char c : name) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || code < 32 || code == 127)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string safe = lumigrab::SafeFileName(raw);
    if (safe.empty())
        return 0;
    Check(IsSafe(safe));
    Check(lumigrab::SafeFileName(safe) == safe);
    for (const int number : { 1, 10, 2147483647 }) {
        const std::string numbered = lumigrab::NumberedFileName(safe, number);
        Check(IsSafe(numbered) && numbered != safe);
        // The extension stays last; a name without one is kept whole after
        // the number when there is room.
        const size_t dot = safe.rfind('.');
        const bool hasExtension = dot != std::string::npos && dot > 0 && safe.size() - dot <= 32;
        const std::string digits = std::to_string(number);
        if (hasExtension)
            Check(numbered.ends_with(safe.substr(dot)));
        else if (safe.size() + digits.size() + 1 <= lumigrab::MaxFileNameBytes)
            Check(numbered == digits + "-" + safe);
    }
    return 0;
}
