#include "picturefacts.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <libexif/exif-data.h>

#include <memory>

namespace lumigrab {

namespace {

constexpr qint64 ExifReadBytes = 256 * 1024;

struct TExifDataFree {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};

// The entry's text as libexif gives it, trimmed; empty when missing.
QString Value(ExifData* data, ExifIfd ifd, ExifTag tag)
{
    ExifEntry* entry = exif_content_get_entry(data->ifd[ifd], tag);
    if (!entry)
        return {};
    char text[256] = {};
    exif_entry_get_value(entry, text, sizeof text);
    return QString::fromUtf8(text).simplified();
}

// "Canon" and "Canon EOS 5D" make "Canon EOS 5D", not the make twice.
QString Camera(const QString& make, const QString& model)
{
    if (model.startsWith(make, Qt::CaseInsensitive))
        return model;
    return (make + QLatin1Char(' ') + model).trimmed();
}

} // namespace

TExifFacts ExifFactsOf(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    const qsizetype length = std::min<qsizetype>(bytes.size(), ExifReadBytes);
    const std::unique_ptr<ExifData, TExifDataFree> data(
        exif_data_new_from_data(reinterpret_cast<const unsigned char*>(bytes.data()), unsigned(length)));
    if (!data)
        return {};
    TExifFacts facts;
    facts.camera = Camera(Value(data.get(), EXIF_IFD_0, EXIF_TAG_MAKE), Value(data.get(), EXIF_IFD_0, EXIF_TAG_MODEL));
    facts.taken = Value(data.get(), EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL);
    return facts;
}

TPictureFacts PictureFactsOf(const QString& path)
{
    TPictureFacts facts;
    const QFileInfo file(path);
    facts.name = file.fileName();
    facts.bytes = file.size();
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    facts.pixels = reader.size();
    facts.type = QString::fromLatin1(reader.format()).toUpper();
    if (reader.supportsAnimation())
        facts.frames = std::max(1, reader.imageCount());
    QFile bytes(path);
    if (bytes.open(QIODevice::ReadOnly))
        facts.exif = ExifFactsOf(bytes.read(ExifReadBytes));
    return facts;
}

} // namespace lumigrab
