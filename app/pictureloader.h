// Turns a picture file into an image for the viewer. The format is told by
// the content, whatever the file is called: JPEG, GIF, BMP (run-length
// encoded ones too, with or without the file header, so .dib and .rle
// files), PNG, PCX and TGA.
#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QString>

#include "app/picturelimits.h"

namespace lumigrab {

// The picture in the file at path, or a null image (height 0) when the file
// is missing, not a regular file, unreadable, longer than
// kMaxPictureFileBytes, not a picture of a format above, damaged, or larger
// than kMaxPicturePixels pixels. JPEG pictures are turned upright as their
// camera orientation says; of an animated GIF the first frame is returned.
// Never throws; safe to call from several threads at once.
QImage LoadPicture(const QString& path);

// The same for a file's bytes already in memory.
QImage DecodePicture(QByteArrayView bytes);

} // namespace lumigrab
