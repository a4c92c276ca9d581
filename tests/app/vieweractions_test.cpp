// The viewer's actions on the window, on the offscreen platform: Keep a
// copy, Copy, Show in folder, Turn, the slideshow, animations and the
// picture information panel, each through its menu command or key.
#include "app/vieweractions.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "app/nntpmain.h"
#include "app/pictureinfo.h"
#include "app/picturelimits.h"
#include "app/picturemovie.h"
#include "app/picturepane.h"
#include "app/slideshow.h"
#include "tests/support/gif_writer.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class ViewerTest : public testing::WindowTest {
protected:
    QTemporaryDir keep;

    void SetUp() override
    {
        WindowTest::SetUp();
        WriteSettings({ { "Keep Folder", keep.filePath("kept") } });
    }

    void AddFile(const QString& name, const std::string& bytes)
    {
        QDir().mkpath(TempFolder());
        WriteFile(TempFolder() + name, QByteArray(bytes.data(), qsizetype(bytes.size())));
    }
};

// Keep (twice: the second finds it there), Copy at its own size after a
// turn, with its file beside it, and Show in folder's address.
TEST_F(ViewerTest, KeepCopyAndShowInFolderTakeThePictureAsItCame)
{
    AddPictureFile("wide.bmp", QSize(3000, 200));
    Start();
    QList<QUrl> opened;
    window->OpenUrl = [&](const QUrl& address) { return opened.append(address), true; };
    const QString kept = keep.filePath("kept/wide.bmp"), shown = TempFolder() + "wide.bmp";
    MenuItem("KeepCopy1")->trigger();
    EXPECT_EQ(ReadFile(kept), ReadFile(shown));
    EXPECT_EQ(StatusText(1), "Kept as " + kept);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(StatusText(1), "Kept already as " + kept);
    EXPECT_EQ(QDir(keep.filePath("kept")).entryList(QDir::Files).size(), 1);
    QTest::keyClick(window.get(), Qt::Key_R);
    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier);
    const QMimeData* copied = QApplication::clipboard()->mimeData();
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(qvariant_cast<QImage>(copied->imageData()).size(), QSize(3000, 200));
    EXPECT_EQ(copied->urls(), QList<QUrl> { QUrl::fromLocalFile(shown) });
    MenuItem("ShowInFolder1")->trigger();
    EXPECT_EQ(opened, QList<QUrl> { QUrl::fromLocalFile(QDir(TempFolder()).absolutePath()) });
}

TEST_F(ViewerTest, TurnTurnsTheViewAndFitsItAgain)
{
    struct Case {
        const char* name;
        std::vector<Qt::KeyboardModifiers> presses;
        int turns;
    };
    const Case cases[] = {
        { "Clockwise", { Qt::NoModifier }, 1 },
        { "Back", { Qt::ShiftModifier }, 3 },
        { "FullCircle", { Qt::NoModifier, Qt::NoModifier, Qt::NoModifier, Qt::NoModifier }, 0 },
        { "ThereAndBack", { Qt::NoModifier, Qt::ShiftModifier }, 0 },
    };
    AddPictureFile("tall.bmp", QSize(200, 50));
    Start();
    const QSize upright = ShownSize();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->ScrollBox1->SetPicture(window->ScrollBox1->Picture());
        window->ScrollBox1->Zoom(3);
        for (const Qt::KeyboardModifiers modifiers : c.presses)
            QTest::keyClick(window.get(), Qt::Key_R, modifiers);
        EXPECT_EQ(window->ScrollBox1->Turns(), c.turns);
        EXPECT_TRUE(window->ScrollBox1->Fitted());
        EXPECT_EQ(ShownSize(), c.turns % 2 ? upright.transposed() : upright);
    }
    EXPECT_EQ(window->ScrollBox1->Picture().size(), QSize(200, 50)) << "the picture itself is not turned";
}

// F5 starts it at the setting's pause; a key ends it and does not step, a
// click ends it too (its steps: tests/app/slideshow_test.cpp).
TEST_F(ViewerTest, SlideshowStartsOnF5AndAnyKeyOrClickEndsIt)
{
    for (const QString name : { "1.bmp", "2.bmp" })
        AddPictureFile(name, QSize(10, 10));
    Start();
    TSlideshow& slideshow = window->Viewer().Slideshow();
    QTest::keyClick(window.get(), Qt::Key_F5);
    EXPECT_TRUE(slideshow.Running());
    EXPECT_EQ(slideshow.IntervalMs(), DefaultSlideshowSeconds * 1000);
    QTest::keyClick(window.get(), Qt::Key_Right);
    EXPECT_FALSE(slideshow.Running());
    EXPECT_EQ(CounterText(), "1 of 2");
    EXPECT_EQ(StatusText(1), "Slideshow ended");
    QTest::keyClick(window.get(), Qt::Key_F5);
    QTest::mouseClick(window->ScrollBox1->viewport(), Qt::LeftButton);
    EXPECT_FALSE(slideshow.Running());
}

TEST_F(ViewerTest, AnAnimationPlaysAndOneBeyondTheLimitsSaysSo)
{
    AddFile("a-moving.gif", testing::AnimatedGif(60, 40, 6, 2));
    AddFile("b-endless.gif", testing::AnimatedGif(2, 2, int(kMaxAnimationFrames) + 1, 2));
    Start();
    ASSERT_EQ(CounterText(), "1 of 2");
    TPictureMovie& movie = window->Viewer().Movie();
    EXPECT_TRUE(movie.Playing());
    const QRgb first = window->ScrollBox1->Picture().pixel(0, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return movie.FramesShown() >= 3; }, 5000));
    EXPECT_NE(window->ScrollBox1->Picture().pixel(0, 0), first);
    EXPECT_EQ(window->ScrollBox1->Picture().size(), QSize(60, 40));

    QTest::keyClick(window.get(), Qt::Key_Right);
    EXPECT_FALSE(movie.Playing());
    EXPECT_EQ(window->ScrollBox1->Notice(),
        QStringLiteral("b-endless.gif is not played: %1 frames of 2 x 2 pixels are too many").arg(kMaxAnimationFrames + 1));
}

TEST_F(ViewerTest, InformationNamesTheArticleAPictureCameFrom)
{
    struct Case {
        const char* name;
        std::string index;
        QStringList lines;
    };
    const Case cases[] = {
        { "Recorded",
            "about <p@test>\tlumigrab.test.pictures\tharbour at dusk\tAnn <ann@test>\tMon, 1 Jun 2024 10:00:00 +0000\n"
            "<p@test>\tpicture.bmp\n",
            { "Group: lumigrab.test.pictures", "Subject: harbour at dusk", "Poster: Ann <ann@test>",
                "Date: Mon, 1 Jun 2024 10:00:00 +0000", "Message-ID: <p@test>" } },
        { "RecordedBeforeAboutLines", "<p@test>\tpicture.bmp\n", { "Message-ID: <p@test>" } },
        { "EncodedSubject", "about <q@test>\tg\t=?UTF-8?Q?Caf=C3=A9?=\t\t\n<q@test>\tpicture.bmp\n",
            { "Group: g", QString::fromUtf8("Subject: Caf\xC3\xA9"), "Message-ID: <q@test>" } },
        { "NotRecorded", "<other@test>\tother.bmp\n", { "Article: not recorded" } },
    };
    AddPictureFile("picture.bmp", QSize(16, 8));
    Start();
    MenuItem("PictureInfo1")->trigger();
    TPictureInfoPanel& panel = *window->findChild<TPictureInfoPanel*>();
    ASSERT_TRUE(panel.isVisible());
    EXPECT_LE(window->ScrollBox1->geometry().right(), panel.geometry().left());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(TempFolder() + ".lumigrab-index", QByteArray::fromStdString(c.index));
        QTest::keyClick(window.get(), Qt::Key_Home);
        window->Viewer().PictureShown(window->ScrollBox1->Picture(), TempFolder() + "picture.bmp");
        const QStringList shown = panel.Text().split('\n', Qt::SkipEmptyParts);
        EXPECT_TRUE(shown.contains("Name: picture.bmp"));
        EXPECT_TRUE(shown.contains("Pixels: 16 x 8"));
        EXPECT_TRUE(shown.contains("Type: BMP"));
        const QStringList origin = shown.mid(shown.indexOf("Type: BMP") + 1);
        EXPECT_EQ(origin, c.lines);
    }
    MenuItem("PictureInfo1")->trigger();
    EXPECT_FALSE(panel.isVisible());
}

} // namespace
} // namespace lumigrab
