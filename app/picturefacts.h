// What a picture file says of itself, for the picture information panel:
// its name, length, pixel size and type, and the camera and the date taken
// its Exif block names (read with libexif; a file without one, or with a
// damaged one, has none). No widgets; never throws.
#pragma once

#include <QByteArrayView>
#include <QSize>
#include <QString>

namespace lumigrab {

struct TExifFacts {
    // Make and model as the camera wrote them ("Canon EOS 5D"); empty when
    // not named.
    QString camera;
    // DateTimeOriginal as written ("2024:06:01 14:03:22").
    QString taken;

    bool operator==(const TExifFacts&) const = default;
};

struct TPictureFacts {
    QString name;
    qint64 bytes = 0;
    // Invalid when the reader cannot tell.
    QSize pixels;
    // The format by content, upper case ("JPEG", "GIF"); empty when none
    // is known.
    QString type;
    // Frames of an animation; 1 for a still picture.
    int frames = 1;
    TExifFacts exif;
};

// The Exif facts of a file's bytes (the first 256 KiB are enough: Exif
// sits near a file's start).
TExifFacts ExifFactsOf(QByteArrayView bytes);

TPictureFacts PictureFactsOf(const QString& path);

} // namespace lumigrab
