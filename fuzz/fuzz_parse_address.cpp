// Address parsing of arbitrary text: never raises, parts stay within 255.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "message/msmsgcls.h"
#include "message/msutils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lumigrab::TmsMailAddress address;
    lumigrab::ParseAddress(std::string_view(reinterpret_cast<const char*>(data), size), address);
    if (address.Name().size() > lumigrab::MaxShortString
        || address.Address().size() > lumigrab::MaxShortString)
        std::abort();
    return 0;
}
