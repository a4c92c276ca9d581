// PCX pictures, which Qt does not read: 1 bit (black and white, or two
// header colours), 2 to 4 planes of 1 bit and packed 2 or 4 bits (16-colour
// header palette), 8 bits (256-colour palette at the end of the file, or
// grey without it), and 3 or 4 planes of 8 bits (RGB, RGBA); run-length
// encoded or plain. Runs may go on across scanlines.
#pragma once

#include <QByteArrayView>
#include <QImage>

#include "app/picturelimits.h"

namespace lumigrab {

// True when data starts with a PCX header of a kind DecodePcx reads.
bool LooksLikePcx(QByteArrayView data);

// The picture in data, or a null image when data is not a PCX picture we
// read, holds more than maxPixels pixels, or ends before its last scanline.
// Sizes are checked against the data before anything is allocated.
// Formats: Mono (1 bit), Indexed8 (palettes, grey), RGB32 or ARGB32.
QImage DecodePcx(QByteArrayView data, qint64 maxPixels = kMaxPicturePixels);

} // namespace lumigrab
