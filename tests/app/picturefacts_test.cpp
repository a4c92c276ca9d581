// What a picture file says of itself: the camera and date from its Exif
// block, through libexif, and its name, length, size, type and frames.
#include "app/picturefacts.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

#include <string>

#include "tests/support/gif_writer.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

void PutLittle(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xff);
}

// "Exif\0\0" and a little-endian TIFF: IFD0 with Make and Model (when not
// empty) and a pointer to the Exif IFD holding DateTimeOriginal.
std::string ExifBlock(const std::string& make, const std::string& model, const std::string& taken)
{
    struct Entry {
        uint16_t tag;
        std::string text;
    };
    std::vector<Entry> first;
    if (!make.empty())
        first.push_back({ 0x010F, make });
    if (!model.empty())
        first.push_back({ 0x0110, model });
    const uint32_t firstSize = 2 + 12 * uint32_t(first.size() + 1) + 4;
    const uint32_t exifAt = 8 + firstSize;
    const uint32_t exifSize = 2 + 12 + 4;
    uint32_t dataAt = exifAt + exifSize;
    std::string tiff = "II*";
    tiff += '\0';
    PutLittle(tiff, 8, 4);
    std::string data;
    const auto entry = [&](std::string& ifd, uint16_t tag, const std::string& text) {
        PutLittle(ifd, tag, 2);
        PutLittle(ifd, 2, 2);
        PutLittle(ifd, uint32_t(text.size() + 1), 4);
        PutLittle(ifd, dataAt + uint32_t(data.size()), 4);
        data += text;
        data += '\0';
    };
    std::string ifd0;
    PutLittle(ifd0, uint32_t(first.size() + 1), 2);
    for (const Entry& e : first)
        entry(ifd0, e.tag, e.text);
    PutLittle(ifd0, 0x8769, 2);
    PutLittle(ifd0, 4, 2);
    PutLittle(ifd0, 1, 4);
    PutLittle(ifd0, exifAt, 4);
    PutLittle(ifd0, 0, 4);
    std::string exif;
    PutLittle(exif, 1, 2);
    entry(exif, 0x9003, taken);
    PutLittle(exif, 0, 4);
    return std::string("Exif\0\0", 6) + tiff + ifd0 + exif + data;
}

TEST(ExifFactsOf, NamesTheCameraAndTheDateTaken)
{
    struct Case {
        const char* name;
        std::string bytes;
        TExifFacts facts;
    };
    const Case cases[] = {
        { "MakeAndModel", ExifBlock("Canon", "EOS 5D", "2024:06:01 14:03:22"), { "Canon EOS 5D", "2024:06:01 14:03:22" } },
        { "ModelNamesTheMake", ExifBlock("Canon", "Canon EOS 5D", "2024:06:01 14:03:22"),
            { "Canon EOS 5D", "2024:06:01 14:03:22" } },
        { "DateOnly", ExifBlock("", "", "2001:02:03 04:05:06"), { "", "2001:02:03 04:05:06" } },
        { "NoExif", "\xFF\xD8\xFF\xD9", {} },
        { "Truncated", ExifBlock("Canon", "EOS 5D", "2024:06:01 14:03:22").substr(0, 30), {} },
        { "Empty", "", {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExifFactsOf(QByteArrayView(c.bytes.data(), qsizetype(c.bytes.size()))), c.facts);
    }
}

TEST(PictureFactsOf, TellsNameLengthPixelsTypeAndFrames)
{
    QTemporaryDir folder;
    QByteArray jpeg = testing::PictureBytes(QSize(64, 48), Qt::darkCyan, "JPEG");
    const std::string exif = ExifBlock("Nikon", "D750", "2020:01:02 03:04:05");
    QByteArray app1("\xFF\xE1", 2);
    app1 += char(((exif.size() + 2) >> 8) & 0xff);
    app1 += char((exif.size() + 2) & 0xff);
    app1 += QByteArray(exif.data(), qsizetype(exif.size()));
    jpeg.insert(2, app1);
    testing::WriteFile(folder.filePath("camera.jpg"), jpeg);
    const std::string gif = testing::AnimatedGif(30, 20, 7);
    testing::WriteFile(folder.filePath("moving.gif"), QByteArray(gif.data(), qsizetype(gif.size())));

    const TPictureFacts camera = PictureFactsOf(folder.filePath("camera.jpg"));
    EXPECT_EQ(camera.name, "camera.jpg");
    EXPECT_EQ(camera.bytes, jpeg.size());
    EXPECT_EQ(camera.pixels, QSize(64, 48));
    EXPECT_EQ(camera.type, "JPEG");
    EXPECT_EQ(camera.exif, (TExifFacts { "Nikon D750", "2020:01:02 03:04:05" }));
    const TPictureFacts moving = PictureFactsOf(folder.filePath("moving.gif"));
    EXPECT_EQ(moving.type, "GIF");
    EXPECT_EQ(moving.frames, 7);
    EXPECT_EQ(moving.exif, TExifFacts());
}

} // namespace
} // namespace lumigrab
