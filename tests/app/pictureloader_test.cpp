// The picture loader and our PCX and TGA decoders against pictures written
// by other programs (tests/fixtures/make_pictures.py), and against spoiled
// copies of them.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/pcxdecoder.h"
#include "app/pictureloader.h"
#include "app/tgadecoder.h"
#include "tests/support/allocation_watch.h"

namespace lumigrab {
namespace {

const QString kPictures = QStringLiteral(LUMIGRAB_FIXTURES_DIR "/pictures/");

struct FixturePicture {
    std::string picture;
    std::string reference;
    int tolerance = 0;
    std::string how;
};

std::vector<FixturePicture> ReadManifest()
{
    QFile manifest(kPictures + "manifest.tsv");
    std::vector<FixturePicture> rows;
    if (!manifest.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray& line : manifest.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 4)
            rows.push_back({ fields[0].toStdString(), fields[1].toStdString(), fields[2].toInt(),
                fields[3].toStdString() });
    }
    return rows;
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Empty when every channel agrees within tolerance (fully transparent pixels
// agree whatever their colour); otherwise the first difference.
std::string PixelDifference(const QImage& actualImage, const QImage& expectedImage, int tolerance)
{
    if (actualImage.size() != expectedImage.size())
        return "size differs";
    const QImage actual = actualImage.convertToFormat(QImage::Format_ARGB32);
    const QImage expected = expectedImage.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            const QRgb a = actual.pixel(x, y), e = expected.pixel(x, y);
            if (qAlpha(a) == 0 && qAlpha(e) == 0)
                continue;
            const int worst = std::max({ std::abs(qRed(a) - qRed(e)), std::abs(qGreen(a) - qGreen(e)),
                std::abs(qBlue(a) - qBlue(e)), std::abs(qAlpha(a) - qAlpha(e)) });
            if (worst > tolerance)
                return QString("pixel %1,%2 is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(a, 8, 16, QChar('0'))
                    .arg(e, 8, 16, QChar('0'))
                    .toStdString();
        }
    }
    return {};
}

void PrintTo(const FixturePicture& row, std::ostream* out)
{
    *out << row.picture;
}

class PictureFixture : public ::testing::TestWithParam<FixturePicture> { };

TEST_P(PictureFixture, DecodesToTheReferencePixelsByContent)
{
    const FixturePicture& row = GetParam();
    const QString path = kPictures + QString::fromStdString(row.picture);
    const QImage image = LoadPicture(path);
    ASSERT_FALSE(image.isNull()) << row.how;
    EXPECT_EQ(
        PixelDifference(image, QImage(kPictures + QString::fromStdString(row.reference)), row.tolerance), "")
        << row.how;

    // The name plays no part, and only PCX and TGA files look like them.
    const QByteArray bytes = ReadBytes(path);
    EXPECT_EQ(DecodePicture(bytes), image);
    EXPECT_EQ(LooksLikePcx(bytes), path.endsWith(".pcx"));
    EXPECT_EQ(LooksLikeTga(bytes), path.endsWith(".tga"));
}

std::string TestName(const ::testing::TestParamInfo<FixturePicture>& info)
{
    std::string name = info.param.picture;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Manifest, PictureFixture, ::testing::ValuesIn(ReadManifest()), TestName);

TEST(PictureFixtures, CoverEveryPictureExtensionAndFile)
{
    QSet<QString> listed { "manifest.tsv" }, extensions;
    for (const FixturePicture& row : ReadManifest()) {
        listed << QString::fromStdString(row.picture) << QString::fromStdString(row.reference);
        extensions << QFileInfo(QString::fromStdString(row.picture)).suffix();
    }
    EXPECT_EQ(extensions, (QSet<QString> { "jpg", "gif", "bmp", "dib", "rle", "pcx", "tga" }));
    for (const QString& file : QDir(kPictures).entryList(QDir::Files))
        EXPECT_TRUE(listed.contains(file)) << file.toStdString() << " is not in manifest.tsv";
}

// Decodes after leaving freed heap blocks of the picture's size filled with
// poison, where a reader that leaves pixels unwritten picks them up.
QImage DecodeOnPoisonedHeap(const QByteArray& bytes, size_t imageBytes, int poison)
{
    std::vector<void*> blocks(8);
    for (void*& block : blocks)
        block = std::memset(std::malloc(imageBytes), poison, imageBytes);
    for (void* block : blocks)
        std::free(block);
    return DecodePicture(bytes);
}

// Run-length deltas and line ends skip pixels, short files lack rows; what
// Qt's BMP reader does not write must not be whatever the heap held.
TEST(BmpPictures, PixelsLeftUnwrittenAreTheSameEveryTime)
{
    for (const FixturePicture& row : ReadManifest()) {
        const QString suffix = QFileInfo(QString::fromStdString(row.picture)).suffix();
        if (suffix != "bmp" && suffix != "rle" && suffix != "dib")
            continue;
        const QByteArray whole = ReadBytes(kPictures + QString::fromStdString(row.picture));
        // Headers and palette stay; the pixel data loses its last 40%.
        const qsizetype pixelsFrom
            = suffix == "dib" ? 40 : qFromLittleEndian<quint32>(whole.constData() + 10);
        const QByteArray cut = whole.left(pixelsFrom + (whole.size() - pixelsFrom) * 3 / 5);
        for (const QByteArray& bytes : { whole, cut }) {
            const QImage clean = DecodePicture(bytes);
            ASSERT_FALSE(clean.isNull()) << row.picture << ", " << bytes.size() << " bytes";
            EXPECT_EQ(DecodeOnPoisonedHeap(bytes, clean.sizeInBytes(), 0xA5),
                DecodeOnPoisonedHeap(bytes, clean.sizeInBytes(), 0x5A))
                << row.picture << ", " << bytes.size() << " bytes";
        }
    }
}

void SetLe16(QByteArray& bytes, int offset, int value)
{
    bytes[offset] = char(value & 0xFF);
    bytes[offset + 1] = char(value >> 8);
}

void SetLe32(QByteArray& bytes, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char(value >> (8 * i));
}

void SetJpegSize(QByteArray& bytes, int width, int height)
{
    const qsizetype frame
        = bytes.indexOf("\xFF\xC0") >= 0 ? bytes.indexOf("\xFF\xC0") : bytes.indexOf("\xFF\xC2");
    bytes[frame + 5] = char(height >> 8);
    bytes[frame + 6] = char(height);
    bytes[frame + 7] = char(width >> 8);
    bytes[frame + 8] = char(width);
}

struct HostileCase {
    const char* name;
    const char* fixture;
    std::function<void(QByteArray&)> spoil;
};

// PCX: width at 8, height at 10 (as last coordinates), bytes per line at 66.
// TGA: first colour map index at 3, width at 12, height at 14.
const HostileCase kHostileCases[] = {
    { "PcxSizeBeyondTheLimit", "pcx-24bit-pil.pcx",
        [](QByteArray& b) {
            SetLe16(b, 8, 0xFFFF);
            SetLe16(b, 10, 0xFFFF);
            SetLe16(b, 66, 0xFFFF);
        } },
    { "PcxLargeSizeOnShortData", "pcx-24bit-pil.pcx",
        [](QByteArray& b) {
            SetLe16(b, 8, 7999);
            SetLe16(b, 10, 7999);
            SetLe16(b, 66, 8000);
        } },
    { "PcxRunsEndBeforeTheLastLine", "pcx-8bit-pil.pcx",
        [](QByteArray& b) { b = b.left(700) + b.right(769); } },
    { "PcxPlanesCutShort", "pcx-24bit-im.pcx", [](QByteArray& b) { b.chop(b.size() / 3); } },
    { "PcxScanlineShorterThanWidth", "pcx-8bit-im.pcx", [](QByteArray& b) { SetLe16(b, 66, 10); } },
    { "PcxUnknownDepth", "pcx-8bit-im.pcx", [](QByteArray& b) { b[3] = 3; } },
    { "TgaSizeBeyondTheLimit", "tga-rgb-rle-im.tga",
        [](QByteArray& b) {
            SetLe16(b, 12, 0xFFFF);
            SetLe16(b, 14, 0xFFFF);
        } },
    { "TgaLargeSizeOnShortData", "tga-rgb-rle-im.tga",
        [](QByteArray& b) {
            SetLe16(b, 12, 8000);
            SetLe16(b, 14, 8000);
        } },
    { "TgaRunsEndBeforeTheLastRow", "tga-rgb-rle-im.tga", [](QByteArray& b) { b.chop(b.size() / 2); } },
    { "TgaPlainPixelsCutShort", "tga-rgb-pil.tga", [](QByteArray& b) { b.chop(b.size() / 2); } },
    { "TgaIndexBelowTheColourMap", "tga-cmap-pil.tga", [](QByteArray& b) { SetLe16(b, 3, 100); } },
    { "TgaIndexBeyondTheColourMap", "tga-cmap-im.tga", [](QByteArray& b) { b[18 + 16 * 3] = char(200); } },
    { "TgaColourMappedWithoutMap", "tga-cmap-pil.tga", [](QByteArray& b) { b[1] = 0; } },
    { "JpegSizeBeyondTheLimit", "jpg-baseline-im.jpg",
        [](QByteArray& b) { SetJpegSize(b, 0xFFFF, 0xFFFF); } },
    { "BmpSizeBeyondTheLimit", "bmp-24-im.bmp",
        [](QByteArray& b) {
            SetLe32(b, 18, 100000);
            SetLe32(b, 22, 100000);
        } },
    { "Empty", "bmp-24-im.bmp", [](QByteArray& b) { b.clear(); } },
    { "Text", "bmp-24-im.bmp",
        [](QByteArray& b) { b = QByteArray("Not a picture, only some text.\r\n").repeated(40); } },
};

std::unique_ptr<char[]> allocationSink; // keeps the compiler from dropping an allocation

void PrintTo(const HostileCase& hostile, std::ostream* out)
{
    *out << hostile.name;
}

class HostilePicture : public ::testing::TestWithParam<HostileCase> { };

TEST_P(HostilePicture, FailsWithoutLargeAllocations)
{
    QByteArray bytes = ReadBytes(kPictures + GetParam().fixture);
    ASSERT_FALSE(DecodePicture(bytes).isNull()) << "the unspoilt picture decodes";
    GetParam().spoil(bytes);
    QImage image;
    const std::optional<size_t> largest
        = testing::LargestAllocationDuring([&] { image = DecodePicture(bytes); });
    EXPECT_TRUE(image.isNull());
    if (largest) {
        EXPECT_LT(*largest, 1u << 20);
    }
}

INSTANTIATE_TEST_SUITE_P(Spoilt, HostilePicture, ::testing::ValuesIn(kHostileCases),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

// Without this, the allocation bound above would hold for a watch that sees nothing.
TEST(AllocationWatch, SeesALargeBlock)
{
    const std::optional<size_t> largest
        = testing::LargestAllocationDuring([] { allocationSink = std::make_unique<char[]>(8u << 20); });
    allocationSink.reset();
    if (!largest)
        GTEST_SKIP() << "allocations are watched in sanitizer builds only";
    EXPECT_GE(*largest, 8u << 20);
}

TEST(PictureLimits, PixelLimitIsInclusive)
{
    const QByteArray pcx = ReadBytes(kPictures + "pcx-24bit-pil.pcx");
    const QByteArray tga = ReadBytes(kPictures + "tga-rgb-rle-im.tga");
    const qint64 pixels = 37 * 23;
    EXPECT_FALSE(DecodePcx(pcx, pixels).isNull());
    EXPECT_TRUE(DecodePcx(pcx, pixels - 1).isNull());
    EXPECT_FALSE(DecodeTga(tga, pixels).isNull());
    EXPECT_TRUE(DecodeTga(tga, pixels - 1).isNull());
}

TEST(TgaOrientation, RightToLeftAndTopDownFlagsMirrorThePicture)
{
    const QImage reference(kPictures + "ref-rgb.png");
    QByteArray bytes = ReadBytes(kPictures + "tga-rgb-pil.tga");
    bytes[17] = char(0x10);
    EXPECT_EQ(PixelDifference(DecodeTga(bytes), reference.mirrored(true, false), 0), "");
    bytes[17] = char(0x30);
    EXPECT_EQ(PixelDifference(DecodeTga(bytes), reference.mirrored(true, true), 0), "");
}

// Today's posts: PNG and lossless WebP, known by their content whatever
// their name says.
TEST(LoadPicture, PngAndWebPByContent)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QImage reference = QImage(kPictures + "ref-rgb.png").convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(reference.isNull());
    for (const char* format : { "png", "webp" }) {
        const QString path = dir.filePath(QString("picture-%1.jpg").arg(format));
        ASSERT_TRUE(reference.save(path, format, 100)) << format;
        EXPECT_EQ(PixelDifference(LoadPicture(path), reference, 0), "") << format;
    }
}

TEST(LoadPicture, FailsOnWhatIsNotAPictureFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fifo = dir.filePath("waiting.jpg"), empty = dir.filePath("empty.gif");
    const QString text = dir.filePath("text.tga"), folder = dir.filePath("folder.bmp");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QFile(empty).open(QIODevice::WriteOnly);
    QFile textFile(text);
    ASSERT_TRUE(textFile.open(QIODevice::WriteOnly));
    textFile.write(QByteArray("Subject: not a picture\r\n\r\nplain text\r\n").repeated(50));
    textFile.close();
    ASSERT_TRUE(QDir().mkdir(folder));
    for (const QString& path : { fifo, empty, text, folder, dir.filePath("missing.pcx") }) {
        EXPECT_TRUE(LoadPicture(path).isNull()) << path.toStdString();
        EXPECT_FALSE(PictureTooLarge(path)) << path.toStdString();
    }
}

// A small colour JPEG whose header announces width x height: the decoder
// runs out of data and fills the rest, which costs the whole allocation
// and decode of a photo that size without a photo's file. padTo adds bytes
// after the picture's end, which decoders skip.
QByteArray JpegAnnouncing(int width, int height, qsizetype padTo = 0)
{
    QImage small(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x)
            small.setPixel(x, y, qRgb(x * 4, y * 5, 128));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    small.save(&buffer, "JPEG", 20);
    SetJpegSize(bytes, width, height);
    if (bytes.size() < padTo)
        bytes.append(QByteArray(padTo - bytes.size(), '\0'));
    return bytes;
}

QByteArray BmpAnnouncing(int width, int height)
{
    QByteArray bytes = ReadBytes(kPictures + "bmp-24-im.bmp");
    SetLe32(bytes, 18, width);
    SetLe32(bytes, 22, height);
    return bytes;
}

// Qt's reader alone refuses JPEG, GIF and BMP above 128 MB decoded; a
// picture is refused only beyond the program's own limit, and a JPEG
// beyond that shows shrunk by a power of two, in shape. What cannot show
// for its size alone is told apart from a file that is no picture.
TEST(LoadPicture, BigPhotosShowAndOnlyTooLargeOnesAreRefused)
{
    struct BigCase {
        const char* name;
        QByteArray bytes;
        QSize decoded; // empty: refused
        bool tooLarge;
    };
    const BigCase cases[] = {
        { "50-megapixel JPEG", JpegAnnouncing(8192, 6144), { 8192, 6144 }, false },
        { "96-megapixel JPEG, halved", JpegAnnouncing(12000, 8000, 100'000), { 6000, 4000 }, false },
        { "96-megapixel JPEG in 2 kB", JpegAnnouncing(12000, 8000), {}, true },
        { "100-megapixel BMP", BmpAnnouncing(10000, 10000), {}, true },
        { "ordinary JPEG", JpegAnnouncing(640, 480), { 640, 480 }, false },
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const BigCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath("big.jpg");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.bytes);
        file.close();
        const QImage picture = LoadPicture(path);
        EXPECT_EQ(picture.size(), c.decoded.isEmpty() ? QSize(0, 0) : c.decoded);
        EXPECT_EQ(PictureTooLarge(path), c.tooLarge);
    }
}

} // namespace
} // namespace lumigrab
