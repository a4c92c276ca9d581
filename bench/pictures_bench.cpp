// Picture decoding speed. PCX and TGA throughput counts the pixels out, as
// 32-bit pixels (bytes_per_second) and as pixels (items_per_second); the
// JPEG figures are the time to load a 12-megapixel camera-sized picture
// directly and to take it from the decode-ahead cache once it is ready.
//
// The inputs are made here: a photo-like picture (gradients with noise, so
// runs are short, as in photos) written by minimal PCX and TGA writers, and
// a JPEG written by Qt.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "app/pcxdecoder.h"
#include "app/pictureloader.h"
#include "app/pictureprefetch.h"
#include "app/tgadecoder.h"
#include "app/thumbnailcache.h"

namespace lumigrab {
namespace {

QImage PhotoLike(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            auto channel = [&](int base) { return std::clamp(base + noise(random), 0, 255); };
            line[x] = qRgb(channel(x * 255 / width), channel(y * 255 / height),
                channel((x + y) * 127 / (width + height) + 64));
        }
    }
    return image;
}

// PCX run-length encoding of one plane's scanline.
void AppendPcxRuns(QByteArray& out, const uchar* bytes, int count)
{
    for (int i = 0; i < count;) {
        int run = 1;
        while (i + run < count && run < 63 && bytes[i + run] == bytes[i])
            ++run;
        if (run > 1 || bytes[i] >= 0xC0)
            out.append(char(0xC0 | run));
        out.append(char(bytes[i]));
        i += run;
    }
}

QByteArray PcxHeader(const QImage& image, int planes)
{
    QByteArray header(128, '\0');
    header[0] = 0x0A;
    header[1] = 5;
    header[2] = 1;
    header[3] = 8;
    header[8] = char((image.width() - 1) & 0xFF);
    header[9] = char((image.width() - 1) >> 8);
    header[10] = char((image.height() - 1) & 0xFF);
    header[11] = char((image.height() - 1) >> 8);
    header[65] = char(planes);
    header[66] = char(image.width() & 0xFF);
    header[67] = char(image.width() >> 8);
    return header;
}

QByteArray WritePcx24(const QImage& image)
{
    QByteArray out = PcxHeader(image, 3);
    std::vector<uchar> plane(image.width());
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int shift : { 16, 8, 0 }) {
            for (int x = 0; x < image.width(); ++x)
                plane[x] = uchar(line[x] >> shift);
            AppendPcxRuns(out, plane.data(), image.width());
        }
    }
    return out;
}

QByteArray WritePcx8(const QImage& indexed)
{
    QByteArray out = PcxHeader(indexed, 1);
    for (int y = 0; y < indexed.height(); ++y)
        AppendPcxRuns(out, indexed.constScanLine(y), indexed.width());
    out.append(char(0x0C));
    for (int i = 0; i < 256; ++i) {
        const QRgb colour = indexed.color(i);
        out.append(char(qRed(colour))).append(char(qGreen(colour))).append(char(qBlue(colour)));
    }
    return out;
}

QByteArray TgaHeader(const QImage& image, int type, int depth, int mapLength)
{
    QByteArray header(18, '\0');
    header[1] = char(mapLength > 0);
    header[2] = char(type);
    header[5] = char(mapLength & 0xFF);
    header[6] = char(mapLength >> 8);
    header[7] = char(mapLength > 0 ? 24 : 0);
    header[12] = char(image.width() & 0xFF);
    header[13] = char(image.width() >> 8);
    header[14] = char(image.height() & 0xFF);
    header[15] = char(image.height() >> 8);
    header[16] = char(depth);
    header[17] = char(0x20);
    return header;
}

// TGA packets over one row of `bytesPerPixel`-byte pixels: repeats of two
// or more equal pixels, raw packets between them.
void AppendTgaPackets(QByteArray& out, const uchar* pixels, int count, int bytesPerPixel)
{
    auto same = [&](int a, int b) {
        return std::memcmp(pixels + a * bytesPerPixel, pixels + b * bytesPerPixel, bytesPerPixel) == 0;
    };
    for (int i = 0; i < count;) {
        int run = 1;
        while (i + run < count && run < 128 && same(i, i + run))
            ++run;
        if (run > 1) {
            out.append(char(0x80 | (run - 1)));
            out.append(reinterpret_cast<const char*>(pixels + i * bytesPerPixel), bytesPerPixel);
            i += run;
            continue;
        }
        int raw = 1;
        while (i + raw < count && raw < 128 && !(i + raw + 1 < count && same(i + raw, i + raw + 1)))
            ++raw;
        out.append(char(raw - 1));
        out.append(reinterpret_cast<const char*>(pixels + i * bytesPerPixel), raw * bytesPerPixel);
        i += raw;
    }
}

QByteArray WriteTgaTrueColour(const QImage& image, int bytesPerPixel, bool runLength)
{
    QByteArray out = TgaHeader(image, runLength ? 10 : 2, bytesPerPixel * 8, 0);
    std::vector<uchar> row(size_t(image.width()) * bytesPerPixel);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const uchar bgra[4]
                = { uchar(qBlue(line[x])), uchar(qGreen(line[x])), uchar(qRed(line[x])), 0xFF };
            std::memcpy(row.data() + size_t(x) * bytesPerPixel, bgra, bytesPerPixel);
        }
        if (runLength)
            AppendTgaPackets(out, row.data(), image.width(), bytesPerPixel);
        else
            out.append(reinterpret_cast<const char*>(row.data()), row.size());
    }
    return out;
}

QByteArray WriteTgaColourMapped(const QImage& indexed)
{
    QByteArray out = TgaHeader(indexed, 9, 8, 256);
    for (int i = 0; i < 256; ++i) {
        const QRgb colour = indexed.color(i);
        out.append(char(qBlue(colour))).append(char(qGreen(colour))).append(char(qRed(colour)));
    }
    for (int y = 0; y < indexed.height(); ++y)
        AppendTgaPackets(out, indexed.constScanLine(y), indexed.width(), 1);
    return out;
}

// 256 colours, 3 bits of red and green and 2 of blue, without dithering.
QImage Indexed(const QImage& image)
{
    QImage indexed(image.size(), QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < 256; ++i)
        table.append(qRgb((i >> 5) * 255 / 7, ((i >> 2) & 7) * 255 / 7, (i & 3) * 255 / 3));
    indexed.setColorTable(table);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        uchar* out = indexed.scanLine(y);
        for (int x = 0; x < image.width(); ++x)
            out[x] = uchar((qRed(line[x]) >> 5) << 5 | (qGreen(line[x]) >> 5) << 2 | qBlue(line[x]) >> 6);
    }
    return indexed;
}

const QImage& Photo()
{
    static const QImage photo = PhotoLike(1600, 1200);
    return photo;
}

template <typename Decode>
void DecodeBenchmark(benchmark::State& state, const QByteArray& file, Decode decode)
{
    const qint64 pixels = qint64(Photo().width()) * Photo().height();
    if (decode(file).isNull()) {
        state.SkipWithError("the input does not decode");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(decode(file));
    state.SetBytesProcessed(state.iterations() * pixels * 4);
    state.SetItemsProcessed(state.iterations() * pixels);
    state.counters["file_bytes"] = double(file.size());
}

void BM_DecodePcx24(benchmark::State& state)
{
    static const QByteArray file = WritePcx24(Photo());
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return DecodePcx(bytes); });
}
BENCHMARK(BM_DecodePcx24)->Unit(benchmark::kMillisecond);

void BM_DecodePcx8(benchmark::State& state)
{
    static const QByteArray file = WritePcx8(Indexed(Photo()));
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return DecodePcx(bytes); });
}
BENCHMARK(BM_DecodePcx8)->Unit(benchmark::kMillisecond);

void BM_DecodeTga24(benchmark::State& state)
{
    static const QByteArray file = WriteTgaTrueColour(Photo(), 3, false);
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return DecodeTga(bytes); });
}
BENCHMARK(BM_DecodeTga24)->Unit(benchmark::kMillisecond);

void BM_DecodeTga24RunLength(benchmark::State& state)
{
    static const QByteArray file = WriteTgaTrueColour(Photo(), 3, true);
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return DecodeTga(bytes); });
}
BENCHMARK(BM_DecodeTga24RunLength)->Unit(benchmark::kMillisecond);

void BM_DecodeTga32(benchmark::State& state)
{
    static const QByteArray file = WriteTgaTrueColour(Photo(), 4, false);
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return DecodeTga(bytes); });
}
BENCHMARK(BM_DecodeTga32)->Unit(benchmark::kMillisecond);

void BM_DecodeTga8ColourMappedRunLength(benchmark::State& state)
{
    static const QByteArray file = WriteTgaColourMapped(Indexed(Photo()));
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return DecodeTga(bytes); });
}
BENCHMARK(BM_DecodeTga8ColourMappedRunLength)->Unit(benchmark::kMillisecond);

// For scale: Qt's own TGA plugin (when installed), which reads only files
// with the version 2 footer, on the plain 24-bit file.
void BM_QtTgaPlugin24(benchmark::State& state)
{
    static const QByteArray file
        = WriteTgaTrueColour(Photo(), 3, false) + QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.", 18);
    DecodeBenchmark(state, file, [](const QByteArray& bytes) { return QImage::fromData(bytes, "TGA"); });
}
BENCHMARK(BM_QtTgaPlugin24)->Unit(benchmark::kMillisecond);

// A 12-megapixel JPEG (4000 x 3000) written by Qt at quality 90.
const QString& CameraJpeg()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString file = dir.filePath("camera.jpg");
        PhotoLike(4000, 3000).save(file, "JPEG", 90);
        return file;
    }();
    return path;
}

void BM_LoadPicture12MpJpeg(benchmark::State& state)
{
    const QString& path = CameraJpeg();
    for (auto _ : state)
        benchmark::DoNotOptimize(LoadPicture(path));
    state.counters["file_bytes"] = double(QFileInfo(path).size());
}
BENCHMARK(BM_LoadPicture12MpJpeg)->Unit(benchmark::kMillisecond);

// For scale: Qt's reader on the same file, without our checks around it.
void BM_QtReader12MpJpeg(benchmark::State& state)
{
    const QString& path = CameraJpeg();
    for (auto _ : state)
        benchmark::DoNotOptimize(QImage(path));
}
BENCHMARK(BM_QtReader12MpJpeg)->Unit(benchmark::kMillisecond);

// Taking the same picture once the worker has decoded it ahead.
void BM_TakePrefetched12MpJpeg(benchmark::State& state)
{
    const QString& path = CameraJpeg();
    TPicturePrefetcher prefetcher;
    prefetcher.Prefetch({ path });
    if (prefetcher.Take(path).isNull()) {
        state.SkipWithError("the JPEG does not decode");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(prefetcher.Take(path));
}
BENCHMARK(BM_TakePrefetched12MpJpeg)->Unit(benchmark::kMicrosecond);

// A strip thumbnail of the same picture: decoded at an eighth of each side,
// never whole. items_per_second is thumbnails a second on one core.
void BM_Thumbnail12MpJpeg(benchmark::State& state)
{
    const QString& path = CameraJpeg();
    for (auto _ : state) {
        if (MakeThumbnail(path, QSize(96, 72)).isNull()) {
            state.SkipWithError("no thumbnail");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Thumbnail12MpJpeg)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumigrab
