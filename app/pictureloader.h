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
// than kMaxPicturePixels pixels. A JPEG picture above that limit is
// decoded shrunk to it, its shape kept, as long as an eighth of each side
// is within it. JPEG pictures are turned upright as their camera
// orientation says; of an animated GIF the first frame is returned. Never
// throws; safe to call from several threads at once.
QImage LoadPicture(const QString& path);

// Whether the file at path is a JPEG, GIF, BMP or PNG picture that
// LoadPicture refuses for its size alone (pixels or file length), judged
// by its header: such a file is a picture, only too large to show.
bool PictureTooLarge(const QString& path);

// The same for a file's bytes already in memory.
QImage DecodePicture(QByteArrayView bytes);

} // namespace lumigrab
