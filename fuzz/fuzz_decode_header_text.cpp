#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "mime/msmime.h"

using namespace lumigrab;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view src(reinterpret_cast<const char*>(data), size);
    RunExpectingOnlyCodecErrors([&] {
        const std::string decoded = DecodeHeaderText(src);
        Require(decoded.size() <= kShortTextMax);
        if (src.find("=?") == std::string_view::npos)
            Require(decoded == src.substr(0, kShortTextMax));
        // A longer cut only lets more of the same text through.
        Require(decoded == DecodeHeaderText(src, std::string::npos).substr(0, kShortTextMax));
    });
    return 0;
}
