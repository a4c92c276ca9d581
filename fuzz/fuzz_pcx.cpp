#include <cstddef>
#include <cstdint>

#include "app/pcxdecoder.h"
#include "fuzz/picture_checks.h"

using namespace lumigrab;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    testing::InstallAllocationHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzPictureDecoder(
        data, size, [](QByteArrayView bytes) { return DecodePcx(bytes); }, LooksLikePcx);
    return 0;
}
