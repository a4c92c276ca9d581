// TGA pictures in the kinds Qt does not read: colour-mapped (types 1, 9),
// true-colour (2, 10) and grey (3, 11), plain or run-length encoded, with
// 8-bit indexes into maps of 15-, 16-, 24- or 32-bit entries, 15-, 16-, 24-
// or 32-bit colour, 8-bit grey or 16-bit grey with alpha; bottom-up or
// top-down; with or without the version 2 footer.
#pragma once

#include <QByteArrayView>
#include <QImage>

#include "app/picturelimits.h"

namespace lumigrab {

// TGA files carry no magic number: true when the header is one DecodeTga
// reads and the data is long enough for it. Random or text bytes fail.
bool LooksLikeTga(QByteArrayView data);

// The picture in data, or a null image when data is not a TGA picture we
// read, holds more than maxPixels pixels, ends early or uses a colour index
// outside its colour map. Sizes are checked against the data before
// anything is allocated. Alpha is kept when the file declares alpha bits (or
// its extension area says the alpha is useful) and not every pixel is fully
// transparent, which is how writers that leave alpha unset look.
// Formats: Indexed8 (colour maps), Grayscale8, RGB32, ARGB32 or
// ARGB32_Premultiplied.
QImage DecodeTga(QByteArrayView data, qint64 maxPixels = kMaxPicturePixels);

} // namespace lumigrab
