// What a picture file says of itself: the camera and date from its Exif
// block, through libexif, and its name, length, size, type and frames.
#include "app/picturefacts.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <string>

#include "tests/support/gif_writer.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

// "Exif\0\0" and a little-endian TIFF: IFD0 with Make and Model (when not
// empty) and the Exif IFD, which holds DateTimeOriginal; the texts after.
std::string ExifBlock(const std::string& make, const std::string& model, const std::string& taken)
{
    const uint32_t named = !make.empty() + !model.empty();
    const uint32_t exifAt = 8 + 2 + 12 * (named + 1) + 4, dataAt = exifAt + 18;
    std::string tiff("II*\0\x08\0\0\0", 8), data;
    const auto put = [&](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            tiff += char((value >> (8 * i)) & 0xff);
    };
    const auto text = [&](uint16_t tag, const std::string& value) {
        if (value.empty())
            return;
        put(tag, 2), put(2, 2), put(uint32_t(value.size() + 1), 4), put(dataAt + uint32_t(data.size()), 4);
        data += value + '\0';
    };
    put(named + 1, 2), text(0x010F, make), text(0x0110, model);
    put(0x8769, 2), put(4, 2), put(1, 4), put(exifAt, 4), put(0, 4);
    put(1, 2), text(0x9003, taken), put(0, 4);
    return std::string("Exif\0\0", 6) + tiff + data;
}

TEST(ExifFactsOf, NamesTheCameraAndTheDateTaken)
{
    const char* const date = "2024:06:01 14:03:22";
    const struct {
        const char* name;
        std::string bytes;
        TExifFacts facts;
    } cases[] = {
        { "MakeAndModel", ExifBlock("Canon", "EOS 5D", date), { "Canon EOS 5D", date } },
        { "ModelNamesTheMake", ExifBlock("Canon", "Canon EOS 5D", date), { "Canon EOS 5D", date } },
        { "DateOnly", ExifBlock("", "", date), { "", date } },
        { "NoExif", "\xFF\xD8\xFF\xD9", {} },
        { "Truncated", ExifBlock("Canon", "EOS 5D", date).substr(0, 30), {} },
        { "Empty", "", {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExifFactsOf(QByteArrayView(c.bytes.data(), qsizetype(c.bytes.size()))), c.facts);
    }
}

TEST(PictureFactsOf, TellsNameLengthPixelsTypeAndFrames)
{
    QTemporaryDir folder;
    QByteArray jpeg = testing::PictureBytes(QSize(64, 48), Qt::darkCyan, "JPEG");
    const std::string exif = ExifBlock("Nikon", "D750", "2020:01:02 03:04:05");
    const int length = int(exif.size()) + 2;
    jpeg.insert(2, QByteArray("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xff)
            + QByteArray(exif.data(), qsizetype(exif.size())));
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
