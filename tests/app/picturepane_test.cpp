// The picture pane: a picture opens fitted (whole, never above 100 %, in
// shape, centred), zoom steps keep one scale for both sides, the pointer
// stays on its spot under Ctrl+wheel, a left drag pans and a click zooms.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <cmath>

#include "app/picturepane.h"
#include "app/pictureview.h"
#include "tests/support/widgets_environment.h"

namespace lumigrab {
namespace {

constexpr QSize kPane(800, 600);

QImage Picture(QSize size)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    return picture;
}

// Width and height agree with the picture's aspect within a pixel.
void ExpectInShape(QSize shown, QSize picture)
{
    EXPECT_LE(std::abs(qint64(shown.height()) * picture.width() - qint64(shown.width()) * picture.height()),
        std::max(picture.width(), picture.height()))
        << shown.width() << "x" << shown.height();
}

class PicturePaneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pane.setFrameShape(QFrame::NoFrame);
        pane.resize(kPane);
        pane.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    }

    QSize Shown() const { return pane.View()->size(); }
    QPoint Scroll() const
    {
        return QPoint(pane.horizontalScrollBar()->value(), pane.verticalScrollBar()->value());
    }
    // Scroll bars come and go from the event loop.
    bool ScrollBarsShown() const
    {
        QCoreApplication::processEvents();
        return pane.horizontalScrollBar()->isVisible() || pane.verticalScrollBar()->isVisible();
    }

    TPicturePane pane;
};

TEST_F(PicturePaneTest, OpensFittedWholeInShapeAndCentredNeverAboveActualSize)
{
    struct FitCase {
        QSize picture;
        QSize shown;
    };
    const FitCase cases[] = {
        { { 4000, 3000 }, { 800, 600 } },
        { { 3000, 4000 }, { 450, 600 } },
        { { 6000, 1000 }, { 800, 133 } },
        { { 7, 5000 }, { 1, 600 } },
        { { 300, 200 }, { 300, 200 } },
        { { 800, 600 }, { 800, 600 } },
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.picture.width() << "x" << c.picture.height());
        pane.SetPicture(Picture(c.picture));
        EXPECT_TRUE(pane.Fitted());
        EXPECT_EQ(Shown(), c.shown);
        ExpectInShape(Shown(), c.picture);
        EXPECT_LE(pane.Scale(), 1.0);
        // Centred: an odd pixel left over goes to either side.
        const QSize room = kPane - c.shown;
        EXPECT_LE(std::abs(2 * pane.View()->x() - room.width()), 1);
        EXPECT_LE(std::abs(2 * pane.View()->y() - room.height()), 1);
        EXPECT_FALSE(ScrollBarsShown());
    }
}

TEST_F(PicturePaneTest, FitFollowsThePaneUntilTheUserZooms)
{
    pane.SetPicture(Picture({ 4000, 3000 }));
    pane.resize(400, 600);
    EXPECT_EQ(Shown(), QSize(400, 300));
    pane.Zoom(1);
    pane.resize(kPane);
    EXPECT_EQ(Shown(), QSize(440, 330));
    pane.FitToPane();
    EXPECT_EQ(Shown(), QSize(800, 600));
    // The next picture opens fitted again.
    pane.ShowActualSize();
    pane.SetPicture(Picture({ 1600, 1200 }));
    EXPECT_EQ(Shown(), QSize(800, 600));
}

TEST_F(PicturePaneTest, ZoomStepsKeepOneScaleForBothSides)
{
    const QSize picture(4000, 3000);
    pane.SetPicture(Picture(picture));
    double scale = pane.Scale();
    // Steps in and out, many times over: nothing may drift out of shape.
    const int steps[] = { 1, 1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 3, 1, 1, 1, 1, 1, -2, 5 };
    for (const int step : steps) {
        pane.Zoom(step);
        scale *= std::pow(step > 0 ? 1.1 : 0.9, std::abs(step));
        SCOPED_TRACE(scale);
        EXPECT_FALSE(pane.Fitted());
        EXPECT_NEAR(pane.Scale(), scale, 1e-9);
        EXPECT_EQ(Shown(),
            QSize(
                int(std::nearbyint(picture.width() * scale)), int(std::nearbyint(picture.height() * scale))));
        ExpectInShape(Shown(), picture);
        EXPECT_EQ(ScrollBarsShown(), Shown().width() > kPane.width() || Shown().height() > kPane.height());
    }
    pane.ShowActualSize();
    EXPECT_EQ(Shown(), picture);
    EXPECT_TRUE(ScrollBarsShown());
    pane.FitToPane();
    EXPECT_EQ(Shown(), kPane);
    EXPECT_FALSE(ScrollBarsShown());
}

TEST_F(PicturePaneTest, CtrlWheelZoomsAtThePointer)
{
    pane.SetPicture(Picture({ 4000, 3000 }));
    pane.ShowActualSize();
    const QPointF pointer(200, 150);
    // The picture point under the pointer, in picture pixels.
    const auto underPointer
        = [&] { return (pointer - QPointF(pane.View()->pos())) * 4000.0 / Shown().width(); };
    const QPointF before = underPointer();
    for (const int notches : { -3, 2, -1 }) {
        QWheelEvent wheel(pointer, pane.viewport()->mapToGlobal(pointer), {}, QPoint(0, notches * 120),
            Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(pane.viewport(), &wheel);
        SCOPED_TRACE(notches);
        EXPECT_LT(pane.Scale(), 1.0);
        const QPointF after = underPointer();
        // Within a shown pixel of where it was.
        EXPECT_LE(std::abs(after.x() - before.x()), 1 / pane.Scale());
        EXPECT_LE(std::abs(after.y() - before.y()), 1 / pane.Scale());
    }
    EXPECT_NEAR(pane.Scale(), std::pow(0.9, 4) * std::pow(1.1, 2), 1e-9);
}

TEST_F(PicturePaneTest, LeftDragPansAndClicksWithoutADragAreReported)
{
    pane.SetPicture(Picture({ 4000, 3000 }));
    pane.ShowActualSize();
    QSignalSpy clicks(&pane, &TPicturePane::Clicked);
    pane.horizontalScrollBar()->setValue(1000);
    pane.verticalScrollBar()->setValue(800);
    // The canvas moves under a drag: the pointer goes by the viewport.
    QWidget* viewport = pane.viewport();
    const QPoint from(400, 300);
    QTest::mousePress(viewport, Qt::LeftButton, {}, from);
    QTest::mouseMove(viewport, from - QPoint(60, 30));
    QTest::mouseMove(viewport, from - QPoint(120, 40));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, from - QPoint(120, 40));
    EXPECT_EQ(Scroll(), QPoint(1120, 840));
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_EQ(pane.Scale(), 1.0);

    QWidget* canvas = pane.View();
    QTest::mouseClick(canvas, Qt::LeftButton, {}, QPoint(1400, 1100));
    QTest::mouseClick(canvas, Qt::RightButton, {}, QPoint(1400, 1100));
    ASSERT_EQ(clicks.count(), 2);
    EXPECT_EQ(clicks.at(0).at(0).value<Qt::MouseButton>(), Qt::LeftButton);
    EXPECT_EQ(clicks.at(1).at(0).value<Qt::MouseButton>(), Qt::RightButton);
}

TEST_F(PicturePaneTest, NoticeShowsUntilTheNextPicture)
{
    pane.SetPicture({});
    pane.SetNotice("big.jpg is too large to show");
    EXPECT_EQ(pane.Notice(), "big.jpg is too large to show");
    EXPECT_EQ(Shown(), QSize(0, 0));
    pane.SetPicture(Picture({ 10, 10 }));
    EXPECT_EQ(pane.Notice(), "");
}

} // namespace
} // namespace lumigrab
