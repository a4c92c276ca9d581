// Shared by the picture decoder fuzzers: whatever the bytes, a decoder
// returns a null image or a sound one, and never allocates more than the
// input can encode.
#pragma once

#include <QByteArrayView>
#include <QImage>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "app/picturelimits.h"
#include "tests/support/allocation_watch.h"

namespace lumigrab {

inline void RequirePicture(bool condition)
{
    if (!condition)
        std::abort();
}

// Run-length data gives at most 128 pixels per 2 input bytes, and a 1-pixel
// wide row still takes 4 bytes; scanline buffers and tables fit in the
// fixed part.
inline size_t MostAllocationFor(size_t inputSize)
{
    return 256 * inputSize + (size_t(1) << 20);
}

template <typename Decode, typename Looks>
void FuzzPictureDecoder(const uint8_t* data, size_t size, Decode decode, Looks looks)
{
    const QByteArrayView bytes(data, qsizetype(size));
    QImage image;
    const std::optional<size_t> largest = testing::LargestAllocationDuring([&] { image = decode(bytes); });
    RequirePicture(!largest || *largest <= MostAllocationFor(size));
    if (image.isNull())
        return;
    RequirePicture(looks(bytes));
    RequirePicture(PictureSizeAllowed(image.width(), image.height(), kMaxPicturePixels));
    if (image.format() == QImage::Format_Indexed8) {
        for (int y = 0; y < image.height(); ++y) {
            const uchar* line = image.constScanLine(y);
            for (int x = 0; x < image.width(); ++x)
                RequirePicture(line[x] < image.colorCount());
        }
    }
    // Reads every pixel, as showing the picture would.
    RequirePicture(!image.convertToFormat(QImage::Format_ARGB32).isNull());
}

} // namespace lumigrab
