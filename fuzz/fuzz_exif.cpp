// A picture's Exif block comes from strangers: any bytes give the camera
// and date libexif reads, or none, without a crash, a leak or a read past
// the bytes, and the texts stay within what the panel shows.
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

#include "app/picturefacts.h"
#include "fuzz_check.h"

using lumigrab_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const lumigrab::TExifFacts facts
        = lumigrab::ExifFactsOf(QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size)));
    Check(facts.camera.size() <= 512);
    Check(facts.taken.size() <= 256);
    return 0;
}
