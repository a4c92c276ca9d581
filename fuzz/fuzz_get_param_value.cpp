// Parameter lookup in arbitrary header values: must never raise or read
// outside its input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "message/msutils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // First byte picks how much of the rest is the parameter name.
    const size_t nameLength = size == 0 ? 0 : data[0] % 16;
    const std::string_view rest = input.substr(size == 0 ? 0 : 1);
    const std::string_view name = rest.substr(0, nameLength);
    const std::string_view headerValue = rest.substr(name.size());
    lumigrab::GetParamValue(name, headerValue);
    lumigrab::GetParamValue("boundary", input);
    lumigrab::ExtractMainValue(input);
    lumigrab::StripQuotes(input);
    return 0;
}
