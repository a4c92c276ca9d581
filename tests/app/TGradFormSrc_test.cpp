#include "app/TGradFormSrc.h"

#include <QScreen>
#include <QTest>
#include <QWindow>

#include <memory>
#include <vector>

#include "tests/support/widgets_environment.h"

namespace lumigrab {
namespace {

const QColor Blue(0, 0, 255);
const QColor Red(255, 0, 0);

// A form with a pure blue active and a pure red inactive caption colour.
std::unique_ptr<TGradientForm> MakeForm()
{
    auto form = std::make_unique<TGradientForm>();
    QPalette colors = form->palette();
    colors.setColor(QPalette::Active, QPalette::Highlight, Blue);
    colors.setColor(QPalette::Inactive, QPalette::Highlight, Red);
    form->setPalette(colors);
    form->setCentralWidget(new QWidget);
    return form;
}

void ShowActive(QWidget& window)
{
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

QImage Grab(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Runs of equal colour along row y from x = left to right (inclusive).
std::vector<std::pair<QColor, int>> Runs(const QImage& image, int y, int left, int right)
{
    std::vector<std::pair<QColor, int>> runs;
    for (int x = left; x <= right; ++x) {
        const QColor color = image.pixelColor(x, y);
        if (runs.empty() || runs.back().first != color)
            runs.push_back({ color, 0 });
        ++runs.back().second;
    }
    return runs;
}

// The caption buttons as the horizontal extents of their light top edges,
// from left to right.
std::vector<std::pair<int, int>> ButtonSpans(TGradientForm& form)
{
    const QImage image = Grab(form);
    const QRect caption = form.CaptionRect();
    const QColor light = form.palette().color(QPalette::Active, QPalette::Light);
    std::vector<std::pair<int, int>> spans;
    int x = caption.center().x();
    for (const auto& [color, length] : Runs(image, caption.top() + 2, x, caption.right())) {
        if (color == light)
            spans.push_back({ x, x + length - 1 });
        x += length;
    }
    return spans;
}

struct BandCase {
    int requested;
    int shown;
};

class GradientBands : public ::testing::TestWithParam<BandCase> { };

TEST_P(GradientBands, RunFromBlackToTheCaptionColourInTheAcceptedNumberOfBands)
{
    auto form = MakeForm();
    form->SetGradientColors(GetParam().requested);
    ShowActive(*form);
    EXPECT_EQ(form->GradientColors(), GetParam().shown);

    const QRect caption = form->CaptionRect();
    const auto bands = Runs(Grab(*form), caption.top(), caption.left(), caption.right());
    ASSERT_EQ(int(bands.size()), GetParam().shown);
    EXPECT_EQ(bands.front().first, QColor(0, 0, 0));
    EXPECT_EQ(bands.back().first, Blue);
    for (size_t i = 1; i < bands.size(); ++i) {
        EXPECT_EQ(bands[i].first.red() + bands[i].first.green(), 0);
        EXPECT_GT(bands[i].first.blue(), bands[i - 1].first.blue());
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, GradientBands,
    ::testing::Values(BandCase { 64, 64 }, BandCase { 7, 64 }, BandCase { 257, 64 }, BandCase { 8, 8 },
        BandCase { 256, 256 }));

TEST(GradientCaption, FollowsAPaletteChange)
{
    auto form = MakeForm();
    ShowActive(*form);
    QPalette colors = form->palette();
    colors.setColor(QPalette::Active, QPalette::Highlight, QColor(0, 255, 0));
    form->setPalette(colors);
    const QRect caption = form->CaptionRect();
    EXPECT_EQ(Grab(*form).pixelColor(caption.topRight()), QColor(0, 255, 0));
}

TEST(GradientCaption, InactiveWindowShowsThePlainCaptionOrTheInactiveGradient)
{
    for (const bool onInactive : { false, true }) {
        SCOPED_TRACE(onInactive);
        auto form = MakeForm();
        form->SetGradientOnInactive(onInactive);
        ShowActive(*form);
        TGradientForm other;
        ShowActive(other);
        ASSERT_FALSE(form->isActiveWindow());

        const QImage image = Grab(*form);
        const QRect caption = form->CaptionRect();
        EXPECT_EQ(image.pixelColor(caption.topLeft()), onInactive ? QColor(0, 0, 0) : Red);
        EXPECT_EQ(image.pixelColor(caption.topRight()), Red);
    }
}

TEST(GradientCaption, BorderStyleNoneLeavesTheWholeWindowToItsContents)
{
    auto form = MakeForm();
    form->SetBorderStyle(bsNone);
    ShowActive(*form);
    EXPECT_TRUE(form->CaptionRect().isEmpty());
    EXPECT_EQ(form->centralWidget()->geometry(), form->rect());
    const auto topRow = Runs(Grab(*form), 0, 0, form->width() - 1);
    ASSERT_EQ(topRow.size(), 1u);
    EXPECT_EQ(topRow.front().first, form->palette().color(QPalette::Window));
}

struct ButtonCase {
    TFormBorderStyle style;
    TBorderIcons icons;
    size_t buttons;
};

class CaptionButtons : public ::testing::TestWithParam<ButtonCase> { };

TEST_P(CaptionButtons, ShowWhatTheStyleAndIconsAskFor)
{
    auto form = MakeForm();
    form->setWindowTitle(QString());
    form->SetBorderStyle(GetParam().style);
    form->SetBorderIcons(GetParam().icons);
    ShowActive(*form);
    EXPECT_EQ(ButtonSpans(*form).size(), GetParam().buttons);
}

INSTANTIATE_TEST_SUITE_P(Styles, CaptionButtons,
    ::testing::Values(ButtonCase { bsSizeable, biSystemMenu | biMinimize | biMaximize, 3 },
        // Without the maximise and minimise icons their buttons are disabled, not gone.
        ButtonCase { bsSingle, biSystemMenu, 3 }, ButtonCase { bsDialog, biSystemMenu | biHelp, 2 },
        ButtonCase { bsDialog, biSystemMenu | biMinimize | biMaximize, 1 },
        ButtonCase { bsToolWindow, biSystemMenu | biMinimize | biMaximize, 1 }));

TEST(CaptionButtons, CloseMaximiseRestoreAndMinimiseTheWindow)
{
    auto form = MakeForm();
    form->setWindowTitle(QString());
    ShowActive(*form);
    auto clickButton = [&](size_t fromRight) {
        const auto spans = ButtonSpans(*form);
        ASSERT_EQ(spans.size(), 3u);
        const auto& [left, right] = spans[spans.size() - 1 - fromRight];
        QTest::mouseClick(
            form.get(), Qt::LeftButton, {}, QPoint((left + right) / 2, form->CaptionRect().center().y()));
    };
    const QRect normal = form->geometry();
    const QRect screen = form->screen()->availableGeometry();

    clickButton(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->isMaximized() && form->geometry() == screen; }));
    clickButton(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isMaximized() && form->geometry() == normal; }));
    clickButton(2);
    EXPECT_TRUE(form->isMinimized());
    form->showNormal();
    clickButton(0);
    EXPECT_FALSE(form->isVisible());
}

TEST(CaptionDragging, MovesTheWindowAndADoubleClickMaximisesAndRestores)
{
    auto form = MakeForm();
    ShowActive(*form);
    const QRect normal = form->geometry();
    const QPoint grip(form->CaptionRect().center());

    QTest::mousePress(form.get(), Qt::LeftButton, {}, grip);
    QTest::mouseMove(form.get(), grip + QPoint(40, 30));
    QTest::mouseRelease(form.get(), Qt::LeftButton, {}, grip + QPoint(40, 30));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->geometry() == normal.translated(40, 30); }));

    QTest::mouseDClick(form.get(), Qt::LeftButton, {}, grip);
    QTest::mouseRelease(form.get(), Qt::LeftButton, {}, grip);
    const QRect screen = form->screen()->availableGeometry();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->isMaximized() && form->geometry() == screen; }));
    QTest::mouseDClick(form.get(), Qt::LeftButton, {}, form->CaptionRect().center());
    QTest::mouseRelease(form.get(), Qt::LeftButton, {}, form->CaptionRect().center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->geometry() == normal.translated(40, 30); }));
}

TEST(BorderDragging, ShowsTheSizingCursorsAndResizes)
{
    auto form = MakeForm();
    ShowActive(*form);
    const QRect start = form->geometry();
    const int w = form->width(), h = form->height();
    const std::vector<std::pair<QPoint, Qt::CursorShape>> spots = {
        { { 1, h / 2 }, Qt::SizeHorCursor },
        { { w / 2, 1 }, Qt::SizeVerCursor },
        { { w - 2, h - 2 }, Qt::SizeFDiagCursor },
        { { w - 2, 1 }, Qt::SizeBDiagCursor },
        { form->CaptionRect().center(), Qt::ArrowCursor },
    };
    for (const auto& [spot, shape] : spots) {
        QTest::mouseMove(form.get(), spot);
        EXPECT_EQ(form->windowHandle()->cursor().shape(), shape) << spot.x() << "," << spot.y();
    }

    const QPoint rightEdge(w - 2, h / 2);
    QTest::mousePress(form.get(), Qt::LeftButton, {}, rightEdge);
    QTest::mouseMove(form.get(), rightEdge + QPoint(30, 0));
    QTest::mouseRelease(form.get(), Qt::LeftButton, {}, rightEdge + QPoint(30, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->geometry() == start.adjusted(0, 0, 30, 0); }));

    // A form of fixed size has no sizing borders.
    form->SetBorderStyle(bsSingle);
    QTest::mouseMove(form.get(), QPoint(1, h / 2));
    EXPECT_EQ(form->windowHandle()->cursor().shape(), Qt::ArrowCursor);
}

} // namespace
} // namespace lumigrab
