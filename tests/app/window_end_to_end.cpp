// The real window on a virtual X display (Xvfb, through CTest) against
// run.sh's demo news server: Go harvests both demo groups, Forward steps
// through the pictures, and a grab of the screen shows each picture's own
// pixels. The grabs are kept in the build tree (e2e-grabs/) for a look.
// Needs root and INN2, like the demo server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QSet>

#include "app/pictureloader.h"
#include "tests/support/demo_server.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::DemoServer;
using testing::WindowTest;
using testing::WriteFile;

const QString GrabFolder = QStringLiteral(LUMIGRAB_BINARY_DIR "/e2e-grabs/");

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

    // What the pane must show of a picture that fits it: the picture at
    // 100 %, centred over the pane's backdrop (pictures may be
    // transparent).
    QImage ExpectedOnScreen(const QImage& picture, QSize viewportSize) const
    {
        QImage expected(viewportSize, QImage::Format_RGB32);
        expected.fill(window->ScrollBox1->viewport()->palette().color(QPalette::Window));
        QPainter painter(&expected);
        const QSize room = viewportSize - picture.size();
        painter.drawImage(room.width() / 2, room.height() / 2, picture);
        return expected;
    }

    QImage GrabViewport() const
    {
        QWidget* viewport = window->ScrollBox1->viewport();
        const QPoint at = viewport->mapTo(window.get(), QPoint(0, 0));
        return window->screen()
            ->grabWindow(window->winId(), at.x(), at.y(), viewport->width(), viewport->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
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

TEST_F(WindowEndToEnd, EveryPictureTypeShowsOnScreen)
{
    DemoServer server;
    ASSERT_TRUE(server.Running()) << "demo-server.sh start failed";
    QByteArray list;
    for (const std::string& group : server.Groups())
        list += QByteArray::fromStdString(group) + "\r\n";
    WriteFile(DataFile(), list);
    TfrmMain& form = Start();
    form.msNNTP->Server = "127.0.0.1:" + server.Port();
    form.msNNTP->TimeOut = 60;

    for (int group = 0; group < form.NGEdit->count(); ++group) {
        form.NGEdit->setCurrentIndex(group);
        form.okClick();
        ASSERT_EQ(TakeErrorBoxes(), QStringList());
    }
    ASSERT_EQ(form.PictureIndex(), 0);

    QDir().mkpath(GrabFolder);
    QSet<QString> types;
    for (int index = 0; index < form.Pictures().size(); ++index) {
        const QString path = form.Pictures().at(index);
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(form.PictureIndex(), index);
        types.insert(QFileInfo(path).suffix().toUpper());
        const QImage picture = LoadPicture(path);
        ASSERT_FALSE(picture.isNull());
        form.repaint();
        QTest::qWait(50);
        const QImage grab = GrabViewport();
        grab.save(GrabFolder
            + QString("%1-%2.png").arg(index + 1, 2, 10, QChar('0')).arg(QFileInfo(path).fileName()));
        ASSERT_EQ(form.Image1->size(), picture.size());
        EXPECT_EQ(DifferentPixels(grab, ExpectedOnScreen(picture, grab.size())), 0);
        form.sbNext->click();
    }
    EXPECT_EQ(types, (QSet<QString> { "JPG", "GIF", "BMP", "DIB", "RLE", "PCX", "TGA", "PNG", "WEBP" }));
}

} // namespace
} // namespace lumigrab
