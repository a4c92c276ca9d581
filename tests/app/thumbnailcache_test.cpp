// Thumbnails: fitted to their box in shape and upright, a large JPEG made
// without a whole decode, other formats through the loader; the cache
// makes them on its worker, says when each is ready and holds no more than
// its capacity.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/thumbnailcache.h"
#include "tests/support/allocation_watch.h"

namespace lumigrab {
namespace {

const QString kPictures = QStringLiteral(LUMIGRAB_FIXTURES_DIR "/pictures/");
constexpr QSize kBox(96, 72);

QString WriteJpeg(const QTemporaryDir& dir, const QString& name, QSize size,
    QImageIOHandler::Transformations turn = QImageIOHandler::TransformationNone)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QString path = dir.filePath(name);
    QImageWriter writer(path, "jpeg");
    writer.setQuality(30);
    writer.setTransformation(turn);
    EXPECT_TRUE(writer.write(image));
    return path;
}

// A JPEG whose header announces a 50-megapixel photo: decoding it whole
// would take 200 MB.
QString WriteHugeJpeg(const QTemporaryDir& dir)
{
    const QString path = WriteJpeg(dir, "huge.jpg", QSize(64, 48));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const qsizetype frame = bytes.indexOf("\xFF\xC0");
    const int width = 8192, height = 6144;
    bytes[frame + 5] = char(height >> 8);
    bytes[frame + 6] = char(height);
    bytes[frame + 7] = char(width >> 8);
    bytes[frame + 8] = char(width);
    file.seek(0);
    file.write(bytes);
    return path;
}

TEST(MakeThumbnail, FitsTheBoxInShapeAndUpright)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct ThumbnailCase {
        const char* name;
        QString path;
        QSize size;
    };
    const ThumbnailCase cases[] = {
        { "landscape JPEG", WriteJpeg(dir, "wide.jpg", { 2000, 1000 }), { 96, 48 } },
        { "turned upright",
            WriteJpeg(dir, "turned.jpg", { 2000, 1000 }, QImageIOHandler::TransformationRotate90),
            { 36, 72 } },
        { "smaller than the box", WriteJpeg(dir, "small.jpg", { 40, 30 }), { 40, 30 } },
        { "50 megapixels", WriteHugeJpeg(dir), { 96, 72 } },
        // Smaller than the box: never enlarged.
        { "PCX", kPictures + "pcx-24bit-pil.pcx", QImage(kPictures + "ref-rgb.png").size() },
        { "no picture", kPictures + "manifest.tsv", { 0, 0 } },
    };
    for (const ThumbnailCase& c : cases) {
        SCOPED_TRACE(c.name);
        QImage thumbnail;
        const std::optional<size_t> largest
            = testing::LargestAllocationDuring([&] { thumbnail = MakeThumbnail(c.path, kBox); });
        EXPECT_EQ(thumbnail.size(), c.size);
        // A JPEG is decoded at an eighth at most: never whole.
        if (largest && c.path.endsWith("huge.jpg"))
            EXPECT_LT(*largest, 16u << 20);
    }
}

// Found by the fuzzer: a GIF whose reader gives more than the size asked
// for is still made to fit.
TEST(DecodeThumbnail, NeverLargerThanTheBox)
{
    const QByteArray gif
        = QByteArray::fromBase64("R0lGODlhJQC1rXcA2ywcAAEAAAAAAAABAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAjAAA=");
    const QImage thumbnail = DecodeThumbnail(gif, kBox);
    EXPECT_LE(thumbnail.width(), kBox.width());
    EXPECT_LE(thumbnail.height(), kBox.height());
}

TEST(ThumbnailCache, MakesThumbnailsOnItsWorkerAndHoldsNoMoreThanItsCapacity)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList paths;
    for (int i = 0; i < 6; ++i)
        paths.append(WriteJpeg(dir, QString("p%1.jpg").arg(i), { 200 + i, 100 }));
    std::atomic<int> ready { 0 };
    TThumbnailCache cache(kBox, 3, [&](const QString&) { ++ready; });
    bool made = true;
    EXPECT_TRUE(cache.Find(paths[0], &made).isNull());
    EXPECT_FALSE(made);
    const auto waitFor = [&](int count) {
        for (int i = 0; i < 500 && ready < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ready >= count;
    };
    ASSERT_TRUE(waitFor(1));
    EXPECT_EQ(cache.Find(paths[0], &made).size(), QSize(96, 48));
    EXPECT_TRUE(made);

    for (const QString& path : paths)
        cache.Find(path);
    ASSERT_TRUE(waitFor(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(cache.Held(), 3);
    cache.Forget(paths[5]);
    cache.Find(paths[5], &made);
    EXPECT_FALSE(made);
}

} // namespace
} // namespace lumigrab
