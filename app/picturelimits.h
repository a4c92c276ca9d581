// Limits every picture decoder keeps. A hostile file can declare any size
// in a few header bytes; nothing is allocated for a picture beyond these.
#pragma once

#include <QtGlobal>

namespace lumigrab {

// 64 megapixels (8192 x 8192): well above any camera picture, and 256 MiB
// as 32-bit pixels, which is Qt's own default image allocation limit too.
inline constexpr qint64 kMaxPicturePixels = qint64(8192) * 8192;

// Longer files are not read at all: an uncompressed 32-bit picture at the
// pixel limit, with room for its headers, fits.
inline constexpr qint64 kMaxPictureFileBytes = 4 * kMaxPicturePixels + 16 * 1024 * 1024;

// An animation plays one frame at a time, none kept, so memory holds a
// frame or two; these bound the work one loop through it takes.
inline constexpr qint64 kMaxAnimationFrames = 5000;
inline constexpr qint64 kMaxAnimationPixels = 32 * kMaxPicturePixels;

inline bool PictureSizeAllowed(qint64 width, qint64 height, qint64 maxPixels)
{
    return width > 0 && height > 0 && width <= maxPixels / height;
}

} // namespace lumigrab
