// The real window on a virtual X display (Xvfb, through CTest) against
// run.sh's demo news server, with two photos of the test's own posted
// beside the demo pictures: Go harvests both demo groups, the thumbnail
// strip fills as the pictures arrive, Forward steps through them, and a
// grab of the screen shows each picture's own pixels, each photo whole,
// in shape and upright, and each thumbnail. The grabs are kept in the build
// tree (e2e-grabs/) for a look. Needs root and INN2, like the demo server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QAbstractItemModel>
#include <QClipboard>
#include <QMimeData>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>
#include <vector>

#include "app/pictureloader.h"
#include "app/picturemovie.h"
#include "app/picturepane.h"
#include "app/vieweractions.h"
#include "app/thumbnailcache.h"
#include "app/thumbnailstrip.h"
#include "tests/support/demo_server.h"
#include "tests/support/gif_writer.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::DemoServer;
using testing::Output;
using testing::WindowTest;
using testing::WriteFile;

const QString GrabFolder = QStringLiteral(LUMIGRAB_BINARY_DIR "/e2e-grabs/");

// The photos' stored pixels: four quadrants, clockwise from the top left.
constexpr std::array<QRgb, 4> kQuadrants { qRgb(220, 30, 30), qRgb(30, 200, 40), qRgb(30, 60, 220),
    qRgb(240, 220, 30) };

// A photo posted beside the demo pictures and how it must look on screen.
struct Photo {
    QString name;
    QSize stored;
    // The Exif orientation tag; 0 for no Exif block.
    int orientation;
    // The stored quadrant at each corner of the screen, clockwise from the
    // top left.
    std::array<int, 4> shownQuadrants;
};

const std::vector<Photo> kPhotos {
    // Larger than any pane: fitted, whole and 4:3.
    { "big-photo.jpg", { 4000, 3000 }, 0, { 0, 1, 2, 3 } },
    // Taken with the camera turned right: shown a quarter turn clockwise,
    // the stored top left at the top right, 3:4.
    { "turned-photo.jpg", { 1600, 1200 }, 6, { 3, 0, 1, 2 } },
};

const Photo* FindPhoto(const QString& name)
{
    for (const Photo& photo : kPhotos)
        if (photo.name == name)
            return &photo;
    return nullptr;
}

// An APP1 Exif block holding the orientation tag alone (little-endian TIFF).
QByteArray ExifOrientationBlock(int orientation)
{
    QByteArray payload("Exif\0\0II\x2a\0\x08\0\0\0", 14); // first IFD at 8
    payload += QByteArray("\x01\0", 2); // one entry:
    payload += QByteArray("\x12\x01\x03\0\x01\0\0\0", 8); // 0x0112, SHORT, one
    payload += char(orientation);
    payload += QByteArray(3, '\0');
    payload += QByteArray(4, '\0'); // no next IFD
    const int length = int(payload.size()) + 2;
    return QByteArray("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + payload;
}

QByteArray PhotoBytes(const Photo& photo)
{
    QImage image(photo.stored, QImage::Format_RGB32);
    const int halfWidth = image.width() / 2;
    const int halfHeight = image.height() / 2;
    QPainter painter(&image);
    painter.fillRect(0, 0, halfWidth, halfHeight, QColor(kQuadrants[0]));
    painter.fillRect(halfWidth, 0, image.width() - halfWidth, halfHeight, QColor(kQuadrants[1]));
    painter.fillRect(
        halfWidth, halfHeight, image.width() - halfWidth, image.height() - halfHeight, QColor(kQuadrants[2]));
    painter.fillRect(0, halfHeight, halfWidth, image.height() - halfHeight, QColor(kQuadrants[3]));
    painter.end();
    // A faint grain, as photos have: no flat blocks for the encoder.
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] ^= QRgb((x ^ y) & 7) * 0x010101;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    if (photo.orientation != 0)
        bytes.insert(2, ExifOrientationBlock(photo.orientation)); // after the start marker
    return bytes;
}

bool CloseColours(QRgb a, QRgb b)
{
    constexpr int kJpegSlack = 40;
    return std::abs(qRed(a) - qRed(b)) <= kJpegSlack && std::abs(qGreen(a) - qGreen(b)) <= kJpegSlack
        && std::abs(qBlue(a) - qBlue(b)) <= kJpegSlack;
}

// The bounds of what in a grab is not the backdrop.
QRect PaintedArea(const QImage& grab, QRgb backdrop)
{
    QRect area;
    for (int y = 0; y < grab.height(); ++y)
        for (int x = 0; x < grab.width(); ++x)
            if (grab.pixel(x, y) != backdrop)
                area |= QRect(x, y, 1, 1);
    return area;
}

// Pixels of a strip cell that are neither the strip's nor the mark's
// background: a thumbnail's.
TThumbnailStrip* Strip(const TfrmMain& form)
{
    return form.findChild<TThumbnailStrip*>();
}

int ThumbnailPixels(const QImage& cell, const QPalette& palette)
{
    const QRgb base = palette.color(QPalette::Base).rgb();
    const QRgb mark = palette.color(QPalette::Highlight).rgb();
    int count = 0;
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x)
            count += cell.pixel(x, y) != base && cell.pixel(x, y) != mark;
    return count;
}

class WindowEndToEnd : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (QGuiApplication::platformName() != "xcb")
            GTEST_SKIP() << "needs an X display (CTest runs it under xvfb-run)";
        if (geteuid() != 0 || !QFileInfo::exists("/usr/lib/news/bin/innd")) {
            if (qEnvironmentVariable("LUMIGRAB_REQUIRE_INN") == "1")
                FAIL() << "the demo server needs root and INN2 (LUMIGRAB_REQUIRE_INN=1)";
            GTEST_SKIP() << "the demo server needs root and INN2";
        }
    }

    // Posts the photos to group, each a single-part yEnc article.
    static void PostPhotos(const DemoServer& server, const std::string& group)
    {
        QTemporaryDir folder;
        std::string command = "/usr/bin/python3 " LUMIGRAB_SOURCE_DIR "/tests/news/inn/post-files.py --port "
            + server.Port() + " --group " + group;
        for (const Photo& photo : kPhotos) {
            WriteFile(folder.filePath(photo.name), PhotoBytes(photo));
            command += ' ' + folder.filePath(photo.name).toStdString();
        }
        int status = 0;
        Output(command, status);
        ASSERT_EQ(status, 0) << command;
    }

    // What the pane must show of a picture that fits it: the picture at
    // 100 %, centred over the pane's backdrop (pictures may be
    // transparent).
    QImage ExpectedOnScreen(const QImage& picture, QSize viewportSize) const
    {
        QImage expected(viewportSize, QImage::Format_RGB32);
        expected.fill(Backdrop());
        QPainter painter(&expected);
        const QSize room = viewportSize - picture.size();
        painter.drawImage(room.width() / 2, room.height() / 2, picture);
        return expected;
    }

    QRgb Backdrop() const { return window->ScrollBox1->viewport()->palette().color(QPalette::Window).rgb(); }

    QImage Grab(QWidget* widget, QRect area) const
    {
        const QPoint at = widget->mapTo(window.get(), area.topLeft());
        return window->screen()
            ->grabWindow(window->winId(), at.x(), at.y(), area.width(), area.height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }

    QImage GrabViewport() const
    {
        QWidget* viewport = window->ScrollBox1->viewport();
        return Grab(viewport, viewport->rect());
    }

    // A photo larger than the pane shows whole, in its shape, upright.
    void ExpectPhotoOnScreen(const Photo& photo, const QImage& grab) const
    {
        const QRect area = PaintedArea(grab, Backdrop());
        QWidget* viewport = window->ScrollBox1->viewport();
        EXPECT_TRUE(window->ScrollBox1->Fitted());
        EXPECT_LT(window->ScrollBox1->Scale(), 1.0);
        // Whole: the picture's widget lies inside the viewport, and the
        // picture fills it.
        EXPECT_EQ(area, QRect(window->Image1->mapTo(viewport, QPoint(0, 0)), window->Image1->size()));
        EXPECT_TRUE(viewport->rect().contains(area));
        const QSize shape = photo.orientation >= 5 ? photo.stored.transposed() : photo.stored;
        EXPECT_NEAR(area.height(), area.width() * double(shape.height()) / shape.width(), 2.0);
        const int insetX = area.width() / 10;
        const int insetY = area.height() / 10;
        const std::array<QPoint, 4> corners { area.topLeft() + QPoint(insetX, insetY),
            area.topRight() + QPoint(-insetX, insetY), area.bottomRight() - QPoint(insetX, insetY),
            area.bottomLeft() + QPoint(insetX, -insetY) };
        for (size_t corner = 0; corner < corners.size(); ++corner) {
            const QRgb seen = grab.pixel(corners[corner]);
            const QRgb wanted = kQuadrants[size_t(photo.shownQuadrants[corner])];
            EXPECT_TRUE(CloseColours(seen, wanted))
                << "corner " << corner << ": seen " << std::hex << seen << ", wanted " << wanted;
        }
    }

    // The strip marks the picture on show, and its cell shows a thumbnail.
    void ExpectThumbnailOnScreen(int index, const QString& path)
    {
        TThumbnailStrip* strip = Strip(*window);
        EXPECT_EQ(strip->Marked(), index);
        const QModelIndex row = strip->model()->index(index, 0);
        ASSERT_EQ(strip->model()->data(row, Qt::ToolTipRole).toString(), QFileInfo(path).fileName());
        // Asked for once the cell is on screen, made on the cache's worker.
        ASSERT_TRUE(QTest::qWaitFor([&] { return strip->model()->data(row, Qt::DecorationRole).isValid(); }));
        const QImage thumbnail = strip->model()->data(row, Qt::DecorationRole).value<QImage>();
        ASSERT_FALSE(thumbnail.isNull());
        window->repaint();
        QTest::qWait(50);
        // The strip scrolls a marked cell into view, perhaps but for its
        // last pixel column.
        const QRect cell = strip->visualRect(strip->model()->index(index, 0)) & strip->viewport()->rect();
        ASSERT_GE(cell.width(), thumbnail.width());
        const QImage grab = Grab(strip->viewport(), cell);
        EXPECT_GE(
            ThumbnailPixels(grab, strip->viewport()->palette()), thumbnail.width() * thumbnail.height() / 2);
    }
};

int DifferentPixels(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return a.width() * a.height();
    int different = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            different += a.pixel(x, y) != b.pixel(x, y);
    }
    return different;
}

// Every picture on screen: the demo pictures with their own pixels at
// 100 %, the photos by the table above; the strip by the set all along.
TEST_F(WindowEndToEnd, EveryPictureShowsOnScreenAndInTheStrip)
{
    DemoServer server;
    ASSERT_TRUE(server.Running()) << "demo-server.sh start failed";
    QByteArray list;
    for (const std::string& group : server.Groups())
        list += QByteArray::fromStdString(group) + "\r\n";
    WriteFile(DataFile(), list);
    ASSERT_NO_FATAL_FAILURE(PostPhotos(server, server.Groups().at(0)));
    TfrmMain& form = Start();
    form.msNNTP->Server = "127.0.0.1:" + server.Port();
    form.msNNTP->TimeOut = 60;

    // The strip's cells and the set's pictures, seen while Go runs.
    std::vector<std::pair<int, int>> seen;
    QTimer sampler;
    sampler.setInterval(5);
    QObject::connect(&sampler, &QTimer::timeout,
        [&] { seen.emplace_back(Strip(form)->Count(), int(form.Pictures().size())); });
    sampler.start();
    for (int group = 0; group < form.NGEdit->count(); ++group) {
        form.NGEdit->setCurrentIndex(group);
        form.okClick();
        ASSERT_EQ(TakeErrorBoxes(), QStringList());
    }
    sampler.stop();
    ASSERT_EQ(form.PictureIndex(), 0);
    const int pictureCount = int(form.Pictures().size());
    EXPECT_EQ(Strip(form)->Count(), pictureCount);
    EXPECT_TRUE(
        std::all_of(seen.begin(), seen.end(), [](auto cells) { return cells.first == cells.second; }));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](auto cells) {
        return cells.first > 0 && cells.first < pictureCount;
    })) << "the strip did not fill while Go ran";

    QDir().mkpath(GrabFolder);
    QSet<QString> types;
    QSet<QString> photosShown;
    for (int index = 0; index < pictureCount; ++index) {
        const QString path = form.Pictures().at(index);
        const QString name = QFileInfo(path).fileName();
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(form.PictureIndex(), index);
        types.insert(QFileInfo(path).suffix().toUpper());
        const QImage picture = LoadPicture(path);
        ASSERT_FALSE(picture.isNull());
        form.repaint();
        QTest::qWait(50);
        const QImage grab = GrabViewport();
        grab.save(GrabFolder + QString("%1-%2.png").arg(index + 1, 2, 10, QChar('0')).arg(name));
        if (const Photo* photo = FindPhoto(name)) {
            ExpectPhotoOnScreen(*photo, grab);
            photosShown.insert(name);
        } else {
            ASSERT_EQ(form.Image1->size(), picture.size());
            EXPECT_EQ(DifferentPixels(grab, ExpectedOnScreen(picture, grab.size())), 0);
        }
        ExpectThumbnailOnScreen(index, path);
        form.sbNext->click();
    }
    QWidget* stripViewport = Strip(form)->viewport();
    Grab(stripViewport, stripViewport->rect()).save(GrabFolder + "strip.png");
    EXPECT_EQ(types, (QSet<QString> { "JPG", "GIF", "BMP", "DIB", "RLE", "PCX", "TGA", "PNG", "WEBP" }));
    EXPECT_EQ(photosShown.size(), qsizetype(kPhotos.size()));
}

// On the real window: an animated GIF fetched from the demo server plays
// on screen, Ctrl+S keeps it byte for byte, Ctrl+C puts it on the X
// clipboard at its own size, and R shows it turned a quarter.
TEST_F(WindowEndToEnd, KeepCopyTurnAndPlayOnScreen)
{
    DemoServer server;
    ASSERT_TRUE(server.Running()) << "demo-server.sh start failed";
    const std::string group = server.Groups().at(0);
    {
        QTemporaryDir posted;
        const std::string gif = testing::AnimatedGif(240, 160, 8, 5, 40000);
        WriteFile(posted.filePath("moving.gif"), QByteArray(gif.data(), qsizetype(gif.size())));
        int status = 0;
        Output("/usr/bin/python3 " LUMIGRAB_SOURCE_DIR "/tests/news/inn/post-files.py --port " + server.Port()
                + " --group " + group + " " + posted.filePath("moving.gif").toStdString(),
            status);
        ASSERT_EQ(status, 0);
    }
    QTemporaryDir keep;
    WriteSettings({ { "Keep Folder", keep.filePath("kept") } });
    WriteFile(DataFile(), QByteArray::fromStdString(group) + "\r\n");
    TfrmMain& form = Start();
    form.msNNTP->Server = "127.0.0.1:" + server.Port();
    form.msNNTP->TimeOut = 60;
    form.okClick();
    ASSERT_EQ(TakeErrorBoxes(), QStringList());
    const qsizetype at = form.Pictures().indexOf(QRegularExpression(".*/moving.*\\.gif$"));
    ASSERT_GE(at, 0) << form.Pictures().join(' ').toStdString();
    while (form.PictureIndex() < at)
        QTest::keyClick(&form, Qt::Key_Right);
    const QString path = form.Pictures().at(at);

    TPictureMovie& movie = form.Viewer().Movie();
    ASSERT_TRUE(movie.Playing());
    form.repaint();
    QTest::qWait(20);
    const QImage before = GrabViewport();
    ASSERT_TRUE(QTest::qWaitFor([&] { return movie.FramesShown() >= 3; }, 5000));
    form.repaint();
    QTest::qWait(20);
    const QImage later = GrabViewport();
    QDir().mkpath(GrabFolder);
    before.save(GrabFolder + "moving-1.png");
    later.save(GrabFolder + "moving-2.png");
    EXPECT_GT(DifferentPixels(before, later), 240 * 160 / 2) << "the frames on screen do not change";

    QTest::keyClick(&form, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(testing::ReadFile(keep.filePath("kept/" + QFileInfo(path).fileName())), testing::ReadFile(path));
    QTest::keyClick(&form, Qt::Key_C, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([] { return QGuiApplication::clipboard()->mimeData()->hasImage(); }));
    EXPECT_EQ(qvariant_cast<QImage>(QGuiApplication::clipboard()->mimeData()->imageData()).size(), QSize(240, 160));
    QTest::keyClick(&form, Qt::Key_R);
    form.repaint();
    QTest::qWait(20);
    const QImage turned = GrabViewport();
    turned.save(GrabFolder + "moving-turned.png");
    EXPECT_EQ(PaintedArea(turned, Backdrop()).size(), QSize(160, 240));
}

} // namespace
} // namespace lumigrab
