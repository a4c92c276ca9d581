// Thumbnails of strangers' pictures: whatever the bytes, a null image or one
// that fits the box.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/thumbnailcache.h"

using namespace lumigrab;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QSize box(96, 72);
    const QImage thumbnail = DecodeThumbnail(QByteArrayView(data, qsizetype(size)), box);
    if (!thumbnail.isNull() && (thumbnail.width() > box.width() || thumbnail.height() > box.height()))
        std::abort();
    return 0;
}
