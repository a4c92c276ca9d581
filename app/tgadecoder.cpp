#include "app/tgadecoder.h"

#include <QList>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace lumigrab {
namespace {

constexpr qsizetype kHeaderSize = 18;
constexpr qsizetype kFooterSize = 26;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";
constexpr qsizetype kExtensionSize = 495;
constexpr qsizetype kExtensionAttributesType = 494;
constexpr int kLongestPacket = 128;

enum ImageType { kColourMapped = 1, kTrueColour = 2, kGrey = 3, kRunLength = 8 };
enum class Alpha { kNone, kStraight, kPremultiplied };

struct TgaLayout {
    int type = 0; // without the run-length flag
    bool runLength = false;
    int width = 0;
    int height = 0;
    int depth = 0; // bits per pixel
    int bytesPerPixel = 0;
    int alphaBits = 0;
    bool topDown = false;
    bool rightToLeft = false;
    int mapFirst = 0;
    int mapLength = 0;
    int mapEntryBits = 0;
    qsizetype mapOffset = 0;
    qsizetype pixelOffset = 0;
};

const uchar* Bytes(QByteArrayView data)
{
    return reinterpret_cast<const uchar*>(data.data());
}

int ReadLe16(const uchar* p)
{
    return p[0] | p[1] << 8;
}

quint32 ReadLe32(const uchar* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

int BytesOf(int bits)
{
    return (bits + 7) / 8;
}

bool IsColourDepth(int bits)
{
    return bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

bool DepthFitsType(int type, int depth)
{
    switch (type) {
    case kColourMapped:
        return depth == 8;
    case kTrueColour:
        return IsColourDepth(depth);
    default:
        return depth == 8 || depth == 16;
    }
}

// Colour-mapped pictures need a map; others may carry an unused one.
bool MapFits(int mapType, const TgaLayout& layout)
{
    if (mapType == 0 || (mapType == 1 && layout.mapLength == 0))
        return layout.type != kColourMapped;
    return mapType == 1 && IsColourDepth(layout.mapEntryBits);
}

// Fewest bytes that can hold the pixels: plain, or every packet repeating
// one pixel as often as a packet can.
qint64 ShortestPixelData(const TgaLayout& layout)
{
    const qint64 pixels = qint64(layout.width) * layout.height;
    if (!layout.runLength)
        return pixels * layout.bytesPerPixel;
    return (pixels + kLongestPacket - 1) / kLongestPacket * (1 + layout.bytesPerPixel);
}

// Without a magic number, every field must make sense and the data must be
// long enough for what the header declares.
std::optional<TgaLayout> ReadLayout(QByteArrayView data)
{
    if (data.size() < kHeaderSize)
        return std::nullopt;
    const uchar* header = Bytes(data);
    const int mapType = header[1], descriptor = header[17];
    TgaLayout layout;
    layout.type = header[2] & ~kRunLength;
    layout.runLength = header[2] & kRunLength;
    layout.mapFirst = ReadLe16(header + 3);
    layout.mapLength = ReadLe16(header + 5);
    layout.mapEntryBits = header[7];
    layout.width = ReadLe16(header + 12);
    layout.height = ReadLe16(header + 14);
    layout.depth = header[16];
    layout.bytesPerPixel = BytesOf(layout.depth);
    layout.alphaBits = descriptor & 0x0F;
    layout.rightToLeft = descriptor & 0x10;
    layout.topDown = descriptor & 0x20;

    const bool knownType
        = header[2] >= 1 && header[2] <= 11 && layout.type >= kColourMapped && layout.type <= kGrey;
    if (!knownType || !MapFits(mapType, layout) || !DepthFitsType(layout.type, layout.depth)
        || layout.alphaBits > 8 || (descriptor & 0xC0) != 0 || layout.width == 0 || layout.height == 0)
        return std::nullopt;

    layout.mapOffset = kHeaderSize + header[0];
    const qsizetype mapBytes = mapType == 1 ? qsizetype(layout.mapLength) * BytesOf(layout.mapEntryBits) : 0;
    layout.pixelOffset = layout.mapOffset + mapBytes;
    if (data.size() - layout.pixelOffset < ShortestPixelData(layout))
        return std::nullopt;
    return layout;
}

// The attributes type of a version 2 extension area says what the alpha
// bits mean; nullopt when the file has none.
std::optional<int> ExtensionAttributesType(QByteArrayView data)
{
    if (data.size() < kHeaderSize + kFooterSize)
        return std::nullopt;
    const uchar* footer = Bytes(data) + data.size() - kFooterSize;
    if (std::memcmp(footer + 8, kFooterSignature, sizeof kFooterSignature) != 0)
        return std::nullopt;
    const qint64 offset = ReadLe32(footer);
    if (offset < kHeaderSize || offset + kExtensionSize > data.size() - kFooterSize)
        return std::nullopt;
    const uchar* extension = Bytes(data) + offset;
    if (ReadLe16(extension) < kExtensionSize)
        return std::nullopt;
    return extension[kExtensionAttributesType];
}

// Which bits of a pixel (or colour map entry) of `bits` bits may carry alpha.
bool CanCarryAlpha(const TgaLayout& layout, int bits)
{
    if (layout.type == kColourMapped)
        return bits == 32 || (bits == 16 && layout.alphaBits > 0);
    return (bits == 16 || bits == 32) && layout.alphaBits > 0;
}

Alpha AlphaOf(const TgaLayout& layout, QByteArrayView data)
{
    const int bits = layout.type == kColourMapped ? layout.mapEntryBits : layout.depth;
    if (!CanCarryAlpha(layout, bits) && !(bits == 32 && layout.type == kTrueColour))
        return Alpha::kNone;
    switch (ExtensionAttributesType(data).value_or(-1)) {
    case -1:
        return CanCarryAlpha(layout, bits) ? Alpha::kStraight : Alpha::kNone;
    case 3:
        return Alpha::kStraight;
    case 4:
        return Alpha::kPremultiplied;
    default:
        return Alpha::kNone;
    }
}

constexpr std::array<uchar, 32> FiveBitScale()
{
    std::array<uchar, 32> scale {};
    for (int i = 0; i < 32; ++i)
        scale[i] = uchar((i * 255 + 15) / 31);
    return scale;
}
constexpr std::array<uchar, 32> kFiveBits = FiveBitScale();

// One converter per stored pixel kind; TGA keeps colour as B, G, R (, A).
struct Bgr555 {
    static constexpr int kBytes = 2;
    static QRgb Convert(const uchar* p)
    {
        const int v = p[0] | p[1] << 8;
        return qRgb(kFiveBits[(v >> 10) & 31], kFiveBits[(v >> 5) & 31], kFiveBits[v & 31]);
    }
};
struct Bgra5551 {
    static constexpr int kBytes = 2;
    static QRgb Convert(const uchar* p)
    {
        const QRgb rgb = Bgr555::Convert(p);
        return p[1] & 0x80 ? rgb : rgb & 0x00FFFFFF;
    }
};
struct Bgr888 {
    static constexpr int kBytes = 3;
    static QRgb Convert(const uchar* p) { return qRgb(p[2], p[1], p[0]); }
};
struct Bgrx8888 {
    static constexpr int kBytes = 4;
    static QRgb Convert(const uchar* p) { return qRgb(p[2], p[1], p[0]); }
};
struct Bgra8888 {
    static constexpr int kBytes = 4;
    static QRgb Convert(const uchar* p) { return qRgba(p[2], p[1], p[0], p[3]); }
};
struct GreyX88 {
    static constexpr int kBytes = 2;
    static QRgb Convert(const uchar* p) { return qRgb(p[0], p[0], p[0]); }
};
struct GreyAlpha88 {
    static constexpr int kBytes = 2;
    static QRgb Convert(const uchar* p) { return qRgba(p[0], p[0], p[0], p[1]); }
};

// Converts a row of stored pixels; returns every alpha value or-ed together.
using RowConverter = uchar (*)(const uchar* raw, int width, QRgb* out);

template <typename Pixel> uchar ConvertRow(const uchar* raw, int width, QRgb* out)
{
    uchar alphaSeen = 0;
    for (int x = 0; x < width; ++x, raw += Pixel::kBytes) {
        const QRgb colour = Pixel::Convert(raw);
        out[x] = colour;
        alphaSeen |= uchar(qAlpha(colour));
    }
    return alphaSeen;
}

RowConverter ConverterFor(int type, int bits, bool alpha)
{
    if (type == kGrey)
        return alpha ? ConvertRow<GreyAlpha88> : ConvertRow<GreyX88>;
    switch (bits) {
    case 15:
    case 16:
        return alpha ? ConvertRow<Bgra5551> : ConvertRow<Bgr555>;
    case 24:
        return ConvertRow<Bgr888>;
    default:
        return alpha ? ConvertRow<Bgra8888> : ConvertRow<Bgrx8888>;
    }
}

// Hands out one row of stored pixels at a time, unpacking run-length
// packets, which may go on into the next row.
class PixelRowReader {
public:
    PixelRowReader(QByteArrayView data, const TgaLayout& layout)
        : next_(Bytes(data) + layout.pixelOffset)
        , end_(Bytes(data) + data.size())
        , bytesPerPixel_(layout.bytesPerPixel)
        , width_(layout.width)
        , row_(layout.runLength ? qsizetype(layout.width) * layout.bytesPerPixel : 0)
    {
    }

    // The next row, or nullptr when the data ends before it.
    const uchar* Next() { return row_.empty() ? NextPlain() : NextUnpacked(); }

private:
    const uchar* NextPlain()
    {
        const qsizetype rowBytes = qsizetype(width_) * bytesPerPixel_;
        if (end_ - next_ < rowBytes)
            return nullptr;
        const uchar* row = next_;
        next_ += rowBytes;
        return row;
    }

    const uchar* NextUnpacked()
    {
        uchar* out = row_.data();
        int left = width_;
        while (left > 0) {
            if (repeatLeft_ > 0) {
                const int count = std::min(repeatLeft_, left);
                Repeat(out, count);
                out += qsizetype(count) * bytesPerPixel_;
                left -= count;
                repeatLeft_ -= count;
            } else if (copyLeft_ > 0) {
                const int count = std::min(copyLeft_, left);
                const qsizetype bytes = qsizetype(count) * bytesPerPixel_;
                if (end_ - next_ < bytes)
                    return nullptr;
                std::memcpy(out, next_, bytes);
                next_ += bytes;
                out += bytes;
                left -= count;
                copyLeft_ -= count;
            } else if (!StartPacket()) {
                return nullptr;
            }
        }
        return row_.data();
    }

    bool StartPacket()
    {
        if (next_ == end_)
            return false;
        const uchar packet = *next_++;
        const int count = (packet & 0x7F) + 1;
        if (!(packet & 0x80)) {
            copyLeft_ = count;
            return true;
        }
        if (end_ - next_ < bytesPerPixel_)
            return false;
        std::memcpy(pixel_, next_, bytesPerPixel_);
        next_ += bytesPerPixel_;
        repeatLeft_ = count;
        return true;
    }

    void Repeat(uchar* out, int count) const
    {
        if (bytesPerPixel_ == 1) {
            std::memset(out, pixel_[0], count);
            return;
        }
        for (int i = 0; i < count; ++i, out += bytesPerPixel_)
            std::memcpy(out, pixel_, bytesPerPixel_);
    }

    const uchar* next_;
    const uchar* end_;
    int bytesPerPixel_;
    int width_;
    std::vector<uchar> row_;
    int repeatLeft_ = 0;
    int copyLeft_ = 0;
    uchar pixel_[4] = {};
};

QImage::Format FormatOf(const TgaLayout& layout, Alpha alpha)
{
    if (layout.type == kColourMapped)
        return QImage::Format_Indexed8;
    if (layout.type == kGrey && layout.depth == 8)
        return QImage::Format_Grayscale8;
    switch (alpha) {
    case Alpha::kNone:
        return QImage::Format_RGB32;
    case Alpha::kStraight:
        return QImage::Format_ARGB32;
    default:
        return QImage::Format_ARGB32_Premultiplied;
    }
}

// Colour map entries at their indexes; indexes below the first entry stay
// unused (pixels that use them are refused).
QList<QRgb> ColourTable(QByteArrayView data, const TgaLayout& layout, Alpha alpha)
{
    const int end = std::min(layout.mapFirst + layout.mapLength, 256);
    QList<QRgb> table(std::max(end, 0), qRgb(0, 0, 0));
    const RowConverter convert = ConverterFor(kTrueColour, layout.mapEntryBits, alpha != Alpha::kNone);
    if (end <= layout.mapFirst)
        return table;
    const uchar alphaSeen
        = convert(Bytes(data) + layout.mapOffset, end - layout.mapFirst, table.data() + layout.mapFirst);
    if (alphaSeen == 0)
        for (QRgb& colour : table)
            colour |= 0xFF000000;
    return table;
}

// Copies a row of colour indexes; false when one is outside the map.
bool CopyIndexes(const uchar* raw, int width, int first, int end, uchar* out)
{
    bool outside = false;
    for (int x = 0; x < width; ++x)
        outside |= raw[x] < first || raw[x] >= end;
    std::memcpy(out, raw, width);
    return !outside;
}

// Writers that declare alpha but never set it mean an opaque picture.
void MakeOpaque(QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] |= 0xFF000000;
    }
    image.reinterpretAsFormat(QImage::Format_RGB32);
}

bool DecodeRows(QByteArrayView data, const TgaLayout& layout, Alpha alpha, QImage& image)
{
    PixelRowReader reader(data, layout);
    const RowConverter convert = ConverterFor(layout.type, layout.depth, alpha != Alpha::kNone);
    const int mapEnd = std::min(layout.mapFirst + layout.mapLength, 256);
    uchar alphaSeen = 0;
    for (int row = 0; row < layout.height; ++row) {
        const uchar* raw = reader.Next();
        if (!raw)
            return false;
        uchar* out = image.scanLine(layout.topDown ? row : layout.height - 1 - row);
        if (layout.type == kColourMapped) {
            if (!CopyIndexes(raw, layout.width, layout.mapFirst, mapEnd, out))
                return false;
        } else if (image.format() == QImage::Format_Grayscale8) {
            std::memcpy(out, raw, layout.width);
        } else {
            alphaSeen |= convert(raw, layout.width, reinterpret_cast<QRgb*>(out));
        }
    }
    if (image.hasAlphaChannel() && image.format() != QImage::Format_Indexed8 && alphaSeen == 0)
        MakeOpaque(image);
    return true;
}

} // namespace

bool LooksLikeTga(QByteArrayView data)
{
    return ReadLayout(data).has_value();
}

QImage DecodeTga(QByteArrayView data, qint64 maxPixels)
{
    const std::optional<TgaLayout> layout = ReadLayout(data);
    if (!layout || !PictureSizeAllowed(layout->width, layout->height, maxPixels))
        return {};
    const Alpha alpha = AlphaOf(*layout, data);
    QImage image(layout->width, layout->height, FormatOf(*layout, alpha));
    if (image.isNull())
        return {};
    if (layout->type == kColourMapped)
        image.setColorTable(ColourTable(data, *layout, alpha));
    if (!DecodeRows(data, *layout, alpha, image))
        return {};
    return layout->rightToLeft ? image.mirrored(true, false) : image;
}

} // namespace lumigrab
