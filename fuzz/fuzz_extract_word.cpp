// Reply-line word splitting on arbitrary lines and indexes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "message/msutils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int32_t index = 0;
    if (size >= sizeof index) {
        std::memcpy(&index, data, sizeof index);
        data += sizeof index;
        size -= sizeof index;
    }
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::string word = lumigrab::ExtractWord(line, index);
    if (word.size() > line.size())
        std::abort();
    lumigrab::ExtractWordAsInt(line, index);
    lumigrab::ExtractWordAsInt(line, index & 7);
    return 0;
}
