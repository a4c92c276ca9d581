#include "app/pcxdecoder.h"

#include <QList>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace lumigrab {
namespace {

constexpr qsizetype kHeaderSize = 128;
constexpr uchar kManufacturer = 0x0A;
constexpr int kVersionWithoutPalette = 3;
constexpr qsizetype kTrailingPaletteSize = 1 + 256 * 3;
constexpr uchar kTrailingPaletteMarker = 0x0C;
constexpr int kLongestRun = 0x3F;

// The colours old files without a header palette (and empty palettes) mean.
constexpr QRgb kEgaColours[16] = {
    0xFF000000,
    0xFF0000AA,
    0xFF00AA00,
    0xFF00AAAA,
    0xFFAA0000,
    0xFFAA00AA,
    0xFFAA5500,
    0xFFAAAAAA,
    0xFF555555,
    0xFF5555FF,
    0xFF55FF55,
    0xFF55FFFF,
    0xFFFF5555,
    0xFFFF55FF,
    0xFFFFFF55,
    0xFFFFFFFF,
};

struct PcxLayout {
    int version = 0;
    bool runLength = false;
    int bitsPerPixel = 0;
    int planes = 0;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0; // of one plane
};

const uchar* Bytes(QByteArrayView data)
{
    return reinterpret_cast<const uchar*>(data.data());
}

int ReadLe16(const uchar* p)
{
    return p[0] | p[1] << 8;
}

bool SupportedDepth(int bitsPerPixel, int planes)
{
    switch (bitsPerPixel) {
    case 1:
        return planes >= 1 && planes <= 4;
    case 2:
    case 4:
        return planes == 1;
    case 8:
        return planes == 1 || planes == 3 || planes == 4;
    default:
        return false;
    }
}

std::optional<PcxLayout> ReadLayout(QByteArrayView data)
{
    if (data.size() < kHeaderSize)
        return std::nullopt;
    const uchar* header = Bytes(data);
    PcxLayout layout;
    layout.version = header[1];
    layout.runLength = header[2] == 1;
    layout.bitsPerPixel = header[3];
    layout.planes = header[65];
    const int xMin = ReadLe16(header + 4), yMin = ReadLe16(header + 6);
    const int xMax = ReadLe16(header + 8), yMax = ReadLe16(header + 10);
    layout.width = xMax - xMin + 1;
    layout.height = yMax - yMin + 1;
    layout.bytesPerLine = ReadLe16(header + 66);
    const bool knownVersion = layout.version <= 5 && layout.version != 1;
    if (header[0] != kManufacturer || !knownVersion || header[2] > 1
        || !SupportedDepth(layout.bitsPerPixel, layout.planes) || layout.width <= 0 || layout.height <= 0
        || layout.bytesPerLine < (layout.width * layout.bitsPerPixel + 7) / 8)
        return std::nullopt;
    return layout;
}

bool IsIndexed(const PcxLayout& layout)
{
    return layout.bitsPerPixel * layout.planes <= 8;
}

bool HasTrailingPalette(const PcxLayout& layout, QByteArrayView data)
{
    return layout.bitsPerPixel == 8 && layout.planes == 1 && data.size() >= kHeaderSize + kTrailingPaletteSize
        && Bytes(data)[data.size() - kTrailingPaletteSize] == kTrailingPaletteMarker;
}

// Fewest encoded bytes that can hold `decoded` bytes: a pair of bytes gives
// at most one longest run, a single byte one literal.
qint64 ShortestEncoding(qint64 decoded, bool runLength)
{
    return runLength ? 2 * (decoded / kLongestRun) + (decoded % kLongestRun != 0) : decoded;
}

QList<QRgb> HeaderPalette(const PcxLayout& layout, const uchar* header)
{
    const int colours = 1 << (layout.bitsPerPixel * layout.planes);
    const uchar* rgb = header + 16;
    QList<QRgb> table;
    for (int i = 0; i < colours; ++i)
        table.append(qRgb(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]));
    if (colours == 2) {
        // Black and white, unless the writer gave two colours of its own.
        if (layout.version == kVersionWithoutPalette || table[0] == table[1])
            table = { qRgb(0, 0, 0), qRgb(255, 255, 255) };
        return table;
    }
    const bool empty = std::all_of(rgb, rgb + 3 * colours, [](uchar c) { return c == 0; });
    if (layout.version == kVersionWithoutPalette || empty)
        table = QList<QRgb>(kEgaColours, kEgaColours + colours);
    return table;
}

QList<QRgb> TrailingPalette(QByteArrayView data)
{
    const uchar* rgb = Bytes(data) + data.size() - kTrailingPaletteSize + 1;
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i)
        table[i] = qRgb(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return table;
}

QList<QRgb> GreyPalette()
{
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i)
        table[i] = qRgb(i, i, i);
    return table;
}

QImage::Format FormatOf(const PcxLayout& layout)
{
    if (layout.bitsPerPixel == 1 && layout.planes == 1)
        return QImage::Format_Mono;
    if (IsIndexed(layout))
        return QImage::Format_Indexed8;
    return layout.planes == 4 ? QImage::Format_ARGB32 : QImage::Format_RGB32;
}

// Hands out the decoded bytes of one scanline (all planes) at a time. A run
// may continue into the next scanline, as some writers let it.
class ScanlineReader {
public:
    ScanlineReader(const uchar* begin, const uchar* end, bool runLength)
        : next_(begin)
        , end_(end)
        , runLength_(runLength)
    {
    }

    // False when the data ends before out is full.
    bool Fill(uchar* out, qsizetype size)
    {
        if (!runLength_)
            return Copy(out, size);
        qsizetype filled = 0;
        while (filled < size) {
            if (runLeft_ > 0) {
                const qsizetype count = std::min<qsizetype>(runLeft_, size - filled);
                std::memset(out + filled, runValue_, count);
                filled += count;
                runLeft_ -= int(count);
                continue;
            }
            if (next_ == end_)
                return false;
            if (!IsRun(*next_)) {
                filled += CopyLiterals(out + filled, size - filled);
                continue;
            }
            if (end_ - next_ < 2)
                return false;
            // Photos escape many single bytes as runs of one: fill at once.
            const int count = *next_ & kLongestRun;
            const qsizetype now = std::min<qsizetype>(count, size - filled);
            std::memset(out + filled, next_[1], now);
            filled += now;
            runLeft_ = count - int(now);
            runValue_ = next_[1];
            next_ += 2;
        }
        return true;
    }

private:
    static bool IsRun(uchar byte) { return (byte & 0xC0) == 0xC0; }

    // Copies the bytes up to the next run in one loop.
    qsizetype CopyLiterals(uchar* out, qsizetype room)
    {
        const uchar* stop = next_ + std::min<qsizetype>(room, end_ - next_);
        uchar* write = out;
        while (next_ != stop && !IsRun(*next_))
            *write++ = *next_++;
        return write - out;
    }

    bool Copy(uchar* out, qsizetype size)
    {
        if (end_ - next_ < size)
            return false;
        std::memcpy(out, next_, size);
        next_ += size;
        return true;
    }

    const uchar* next_;
    const uchar* end_;
    bool runLength_;
    int runLeft_ = 0;
    uchar runValue_ = 0;
};

// One bit of each plane makes one pixel's colour index, plane 0 the lowest.
void ConvertBitPlanes(const PcxLayout& layout, const uchar* scan, uchar* out)
{
    for (int x = 0; x < layout.width; ++x) {
        const int byte = x >> 3, shift = 7 - (x & 7);
        uchar index = 0;
        for (int plane = 0; plane < layout.planes; ++plane)
            index |= ((scan[plane * layout.bytesPerLine + byte] >> shift) & 1) << plane;
        out[x] = index;
    }
}

// 2 or 4 bits per pixel, the leftmost pixel in the highest bits.
void ConvertPacked(const PcxLayout& layout, const uchar* scan, uchar* out)
{
    const int bits = layout.bitsPerPixel, perByte = 8 / bits, mask = (1 << bits) - 1;
    for (int x = 0; x < layout.width; ++x)
        out[x] = (scan[x / perByte] >> (8 - bits * (x % perByte + 1))) & mask;
}

void ConvertColourPlanes(const PcxLayout& layout, const uchar* scan, QRgb* out)
{
    const uchar* red = scan;
    const uchar* green = red + layout.bytesPerLine;
    const uchar* blue = green + layout.bytesPerLine;
    if (layout.planes == 4) {
        const uchar* alpha = blue + layout.bytesPerLine;
        for (int x = 0; x < layout.width; ++x)
            out[x] = qRgba(red[x], green[x], blue[x], alpha[x]);
        return;
    }
    for (int x = 0; x < layout.width; ++x)
        out[x] = qRgb(red[x], green[x], blue[x]);
}

void ConvertScanline(const PcxLayout& layout, const uchar* scan, uchar* out)
{
    if (layout.bitsPerPixel == 8 && layout.planes == 1)
        std::memcpy(out, scan, layout.width);
    else if (layout.bitsPerPixel == 8)
        ConvertColourPlanes(layout, scan, reinterpret_cast<QRgb*>(out));
    else if (layout.bitsPerPixel == 1 && layout.planes == 1)
        std::memcpy(out, scan, (layout.width + 7) / 8);
    else if (layout.bitsPerPixel == 1)
        ConvertBitPlanes(layout, scan, out);
    else
        ConvertPacked(layout, scan, out);
}

} // namespace

bool LooksLikePcx(QByteArrayView data)
{
    return ReadLayout(data).has_value();
}

QImage DecodePcx(QByteArrayView data, qint64 maxPixels)
{
    const std::optional<PcxLayout> layout = ReadLayout(data);
    if (!layout || !PictureSizeAllowed(layout->width, layout->height, maxPixels))
        return {};
    const bool trailingPalette = HasTrailingPalette(*layout, data);
    const qsizetype end = trailingPalette ? data.size() - kTrailingPaletteSize : data.size();
    const qsizetype scanBytes = qsizetype(layout->planes) * layout->bytesPerLine;
    if (end - kHeaderSize < ShortestEncoding(qint64(scanBytes) * layout->height, layout->runLength))
        return {};

    QImage image(layout->width, layout->height, FormatOf(*layout));
    if (image.isNull())
        return {};
    if (layout->bitsPerPixel == 8 && layout->planes == 1)
        image.setColorTable(trailingPalette ? TrailingPalette(data) : GreyPalette());
    else if (IsIndexed(*layout))
        image.setColorTable(HeaderPalette(*layout, Bytes(data)));

    ScanlineReader reader(Bytes(data) + kHeaderSize, Bytes(data) + end, layout->runLength);
    std::vector<uchar> scan(scanBytes);
    for (int y = 0; y < layout->height; ++y) {
        if (!reader.Fill(scan.data(), scanBytes))
            return {};
        ConvertScanline(*layout, scan.data(), image.scanLine(y));
    }
    return image;
}

} // namespace lumigrab
