#include "app/pictureloader.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <new>
#include <optional>

#include "app/pcxdecoder.h"
#include "app/tgadecoder.h"

namespace lumigrab {
namespace {

// Formats Qt decodes for us; WebP through the image-formats plugin, whose
// libwebp is built for strangers' files. Other formats that Qt's plugins
// recognise are refused: their decoders were not written for such files.
bool IsQtFormatWeRead(const QByteArray& format)
{
    return format == "jpeg" || format == "gif" || format == "bmp" || format == "png" || format == "webp";
}

quint32 ReadLe(const uchar* p, int bytes)
{
    quint32 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

bool IsDibDepth(quint32 bits)
{
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// A BMP without its file header (a packed DIB) starts with the size of one
// of the known info headers, one plane and a known depth.
bool LooksLikeHeaderlessDib(QByteArrayView bytes)
{
    if (bytes.size() < 16)
        return false;
    const uchar* p = reinterpret_cast<const uchar*>(bytes.data());
    switch (ReadLe(p, 4)) {
    case 12:
        return ReadLe(p + 8, 2) == 1 && IsDibDepth(ReadLe(p + 10, 2));
    case 40:
    case 52:
    case 56:
    case 108:
    case 124:
        return ReadLe(p + 12, 2) == 1 && IsDibDepth(ReadLe(p + 14, 2));
    default:
        return false;
    }
}

// Qt's BMP reader leaves the pixels it does not reach (skipped by run-length
// deltas and early line ends, or missing from a short file) as the heap held
// them. It reads into a given image of the size and format it decodes to, so
// one cleared first keeps them colour 0 or transparent, the same every time.
QImage ReadBmpCleared(QByteArrayView bytes, const QByteArray& format, QSize size, QImage::Format pixelFormat)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        QImage image(size, pixelFormat);
        if (image.isNull())
            return {};
        image.fill(0);
        const uchar* cleared = image.constBits();
        QByteArray unowned = QByteArray::fromRawData(bytes.data(), bytes.size());
        QBuffer buffer(&unowned);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, format);
        if (!reader.read(&image))
            return {};
        if (image.constBits() == cleared)
            return image;
        // Qt chose another format than it announced (alpha in a 32-bit
        // BMP): again, cleared in that one.
        pixelFormat = image.format();
    }
    return {};
}

// Qt's own allocation limit (128 MB in Qt 6.4) would refuse a 50-megapixel
// photo; ours is the pixel limit at 32 bits a pixel, the most any of our
// decoders allocates.
constexpr int kAllocationLimitMb = int(4 * kMaxPicturePixels / (1024 * 1024)) + 1;

// A JPEG decodes at a half, a quarter or an eighth of each side without
// ever holding the whole picture, so a larger one is shown shrunk by the
// first of these that brings it within the pixel limit rather than not at
// all. Only a file long enough to be such a picture is: a few hostile
// header bytes must not buy the largest allocation. nullopt when neither
// holds.
std::optional<QSize> ShrunkJpegSize(const QByteArray& format, QSize size, qint64 fileBytes)
{
    // Even a picture of one flat colour takes some bits per 8x8 block.
    constexpr qint64 kMostPixelsPerByte = 1024;
    if (format != "jpeg" || qint64(size.width()) * size.height() / kMostPixelsPerByte > fileBytes)
        return std::nullopt;
    for (const int denominator : { 2, 4, 8 }) {
        // Rounded down, so that Qt picks this very denominator.
        const QSize shrunk(size.width() / denominator, size.height() / denominator);
        if (PictureSizeAllowed(shrunk.width(), shrunk.height(), kMaxPicturePixels))
            return shrunk;
    }
    return std::nullopt;
}

// Decodes with Qt; without a format, Qt tells it by the content. nullopt
// when Qt sees none of the formats we let it read.
std::optional<QImage> ReadWithQt(QByteArrayView bytes, const QByteArray& format = {})
{
    QByteArray unowned = QByteArray::fromRawData(bytes.data(), bytes.size());
    QBuffer buffer(&unowned);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    const QByteArray found = reader.format();
    if (format.isEmpty() && !IsQtFormatWeRead(found))
        return std::nullopt;
    reader.setAllocationLimit(kAllocationLimitMb);
    // A reader that cannot tell the size first still keeps the allocation
    // limit.
    const QSize size = reader.size();
    if (size.isValid() && !PictureSizeAllowed(size.width(), size.height(), kMaxPicturePixels)) {
        const std::optional<QSize> shrunk = ShrunkJpegSize(found, size, bytes.size());
        if (!shrunk)
            return QImage();
        reader.setScaledSize(*shrunk);
    }
    if (found == "bmp" || found == "dib")
        return ReadBmpCleared(bytes, found, size, reader.imageFormat());
    reader.setAutoTransform(true);
    return reader.read();
}

} // namespace

QImage DecodePicture(QByteArrayView bytes)
{
    if (std::optional<QImage> image = ReadWithQt(bytes))
        return *image;
    if (LooksLikeHeaderlessDib(bytes))
        return ReadWithQt(bytes, "dib").value_or(QImage());
    if (LooksLikePcx(bytes))
        return DecodePcx(bytes);
    return DecodeTga(bytes);
}

QImage LoadPicture(const QString& path)
{
    // Not a FIFO or a device: opening one could wait forever.
    // An empty file is no picture of any format: nothing to read.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() == 0 || info.size() > kMaxPictureFileBytes)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    try {
        const QByteArray bytes = file.readAll();
        if (bytes.size() > kMaxPictureFileBytes)
            return {};
        return DecodePicture(bytes);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

bool PictureTooLarge(const QString& path)
{
    QFile file(path);
    const QFileInfo info(path);
    if (!info.isFile() || info.size() == 0 || !file.open(QIODevice::ReadOnly))
        return false;
    QImageReader reader(&file);
    const QByteArray format = reader.format();
    const QSize size = reader.size();
    if (!IsQtFormatWeRead(format) || !size.isValid())
        return false;
    if (file.size() > kMaxPictureFileBytes)
        return true;
    return !PictureSizeAllowed(size.width(), size.height(), kMaxPicturePixels)
        && !ShrunkJpegSize(format, size, file.size());
}

} // namespace lumigrab
