#include <algorithm>
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
        const std::string bytes = DecodeKeepingDestOnError(
            [&](std::string& dest) { DecodeUULine(line, dest, std::string::npos); });
        const size_t announced = line.empty() ? 0 : size_t(UUCharValue(line[0]));
        Require(bytes.size() == std::min<size_t>(announced, 45));
        Require(DecodeUULine(EncodeUULine(bytes)) == bytes);
    });
    return 0;
}
