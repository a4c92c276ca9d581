#include <cstddef>
#include <cstdint>

#include "app/tgadecoder.h"
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
        data, size, [](QByteArrayView bytes) { return DecodeTga(bytes); }, LooksLikeTga);
    return 0;
}
