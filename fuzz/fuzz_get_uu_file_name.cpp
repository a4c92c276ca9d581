#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "mime/msuucode.h"

using namespace lumigrab;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    RunExpectingOnlyCodecErrors([&] {
        const bool begins = IsUUBeginLine(line);
        Require(!begins || size >= 9);
        const std::string name = GetUUFileName(line);
        Require(name.find('"') == std::string::npos || line.size() <= 10 || line[10] != '"');
        Require(name.empty() || line.find(name, 10) != std::string_view::npos);
    });
    return 0;
}
