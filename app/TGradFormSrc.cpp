#include "TGradFormSrc.h"

#include <QApplication>
#include <QFontDatabase>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWhatsThis>
#include <QWindow>
#include <qdrawutil.h>

#include <cmath>

namespace lumigrab {

namespace {

constexpr int SizingFrame = 4;
constexpr int FixedFrame = 3;
constexpr int MinCaptionHeight = 18;
constexpr int MinSmallCaptionHeight = 15;
// The icon is drawn at this size and then shrunk into the caption.
constexpr int StandardIconSize = 32;
// How long a maximise or restore request may go unanswered before the form
// concludes that no window manager acts on it and sets the geometry itself.
constexpr int UnansweredStateMs = 250;

// Ties go to the even neighbour, for the colour steps and the band edges
// alike (the default floating-point rounding mode).
int RoundHalfEven(double value)
{
    return int(std::nearbyint(value));
}

QFont CaptionFontFor(bool toolWindow)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    font.setBold(true);
    if (toolWindow) {
        if (font.pointSizeF() > 0)
            font.setPointSizeF(qMax(7.0, font.pointSizeF() * 0.85));
        else
            font.setPixelSize(qMax(9, font.pixelSize() * 85 / 100));
    }
    return font;
}

// A blank window: what a program without an icon of its own shows.
QIcon StandardApplicationIcon()
{
    QPixmap pixmap(StandardIconSize, StandardIconSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.fillRect(3, 5, 26, 22, Qt::white);
    painter.fillRect(3, 5, 26, 5, QColor(0, 0, 128));
    painter.setPen(Qt::black);
    painter.drawRect(3, 5, 25, 21);
    return QIcon(pixmap);
}

Qt::Edges EdgesOf(bool left, bool top, bool right, bool bottom)
{
    Qt::Edges edges;
    if (left)
        edges |= Qt::LeftEdge;
    if (top)
        edges |= Qt::TopEdge;
    if (right)
        edges |= Qt::RightEdge;
    if (bottom)
        edges |= Qt::BottomEdge;
    return edges;
}

} // namespace

TGradientForm::TGradientForm(QWidget* owner)
    : QMainWindow(owner, Qt::Window | Qt::FramelessWindowHint)
{
    setWindowTitle(QStringLiteral("GradientForm"));
    resize(435, 293);
    // The forms are laid out for an 8-point font.
    QFont formFont = QApplication::font();
    formFont.setPointSize(8);
    setFont(formFont);
    setMouseTracking(true);
    CalculateColors();
    captionFont_ = CaptionFontFor(IsToolWindow());
    UpdateFrame();
}

TGradientForm::~TGradientForm() = default;

void TGradientForm::SetGradientColors(int colors)
{
    if (colors < MinGradientColors || colors > MaxGradientColors || colors == gradientColors_)
        return;
    gradientColors_ = colors;
    CalculateColors();
    UpdateFrame();
}

void TGradientForm::SetGradientOnInactive(bool onInactive)
{
    if (onInactive == gradientOnInactive_)
        return;
    gradientOnInactive_ = onInactive;
    if (!isActiveWindow())
        update(CaptionRect());
}

void TGradientForm::SetBorderStyle(TFormBorderStyle style)
{
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    captionFont_ = CaptionFontFor(IsToolWindow());
    UpdateFrame();
}

void TGradientForm::SetBorderIcons(TBorderIcons icons)
{
    borderIcons_ = icons;
    update(CaptionRect());
}

void TGradientForm::SetPosition(TPosition position)
{
    position_ = position;
}

void TGradientForm::EnsureCreated()
{
    if (created_)
        return;
    created_ = true;
    DoCreate();
}

void TGradientForm::setVisible(bool visible)
{
    const bool firstShow = visible && !shown_;
    if (firstShow) {
        EnsureCreated();
        if (position_ == poScreenCenter) {
            // Moving a window drops its maximised state.
            const Qt::WindowStates state = windowState();
            CenterOnScreen();
            setWindowState(state);
        }
        shown_ = true;
        if (isMaximized())
            normalGeometry_ = geometry();
    }
    QMainWindow::setVisible(visible);
    if (firstShow && isMaximized())
        CheckStateAnswered(true);
}

// --- Geometry -----------------------------------------------------------------

bool TGradientForm::IsToolWindow() const
{
    return borderStyle_ == bsToolWindow || borderStyle_ == bsSizeToolWin;
}

bool TGradientForm::IsSizeable() const
{
    return borderStyle_ == bsSizeable || borderStyle_ == bsSizeToolWin;
}

bool TGradientForm::CanMaximize() const
{
    return (borderIcons_ & biMaximize) && borderStyle_ != bsNone && borderStyle_ != bsDialog
        && !IsToolWindow();
}

int TGradientForm::FrameWidth() const
{
    // A maximised window shows no frame, as if it lay beyond the screen.
    if (borderStyle_ == bsNone || isMaximized())
        return 0;
    return IsSizeable() ? SizingFrame : FixedFrame;
}

int TGradientForm::CaptionHeight() const
{
    if (borderStyle_ == bsNone)
        return 0;
    const int textHeight = QFontMetrics(captionFont_).height();
    return IsToolWindow() ? qMax(MinSmallCaptionHeight, textHeight + 3)
                          : qMax(MinCaptionHeight, textHeight + 5);
}

QRect TGradientForm::CaptionRect() const
{
    if (borderStyle_ == bsNone)
        return {};
    const int frame = FrameWidth();
    QRect caption = rect().adjusted(frame, frame, -frame, -frame);
    // The last row of the caption height stays a line of frame colour
    // between the caption and the window's contents.
    caption.setHeight(CaptionHeight() - 1);
    return caption;
}

void TGradientForm::UpdateFrame()
{
    const int frame = FrameWidth();
    setContentsMargins(frame, frame + CaptionHeight(), frame, frame);
    update();
}

std::vector<TGradientForm::CaptionButton> TGradientForm::CaptionButtons() const
{
    std::vector<CaptionButton> buttons;
    const QRect caption = CaptionRect();
    if (caption.isEmpty())
        return buttons;
    const QRect area = caption.adjusted(2, 2, -2, -2);
    const int height = area.height();
    int right = area.right() + 1;
    auto add = [&](Hit kind, bool enabled) {
        buttons.push_back({ kind, QRect(right - height - 2, area.top(), height + 2, height), enabled });
    };
    if (IsToolWindow()) {
        add(Hit::Close, true);
        return buttons;
    }
    if (borderIcons_ & biSystemMenu) {
        add(Hit::Close, true);
        right -= height + 4;
    }
    if (borderStyle_ != bsDialog) {
        add(Hit::MaxRestore, borderIcons_.testFlag(biMaximize));
        right -= height + 2;
        add(Hit::Minimize, borderIcons_.testFlag(biMinimize));
    } else if (borderIcons_ & biHelp) {
        add(Hit::Help, true);
    }
    return buttons;
}

TGradientForm::Hit TGradientForm::HitTest(QPoint pos) const
{
    if (borderStyle_ == bsNone || !rect().contains(pos))
        return Hit::Client;
    const int frame = FrameWidth();
    if (IsSizeable() && frame > 0) {
        const QRect inner = rect().adjusted(frame, frame, -frame, -frame);
        if (!inner.contains(pos)) {
            // Corners reach along the edges as far as the caption is high.
            const int corner = frame + CaptionHeight();
            const bool left = pos.x() < corner, right = pos.x() >= width() - corner;
            const bool top = pos.y() < corner, bottom = pos.y() >= height() - corner;
            if (top && left)
                return Hit::TopLeft;
            if (top && right)
                return Hit::TopRight;
            if (bottom && left)
                return Hit::BottomLeft;
            if (bottom && right)
                return Hit::BottomRight;
            if (pos.x() < frame)
                return Hit::Left;
            if (pos.x() >= width() - frame)
                return Hit::Right;
            return pos.y() < frame ? Hit::Top : Hit::Bottom;
        }
    }
    const QRect caption = CaptionRect();
    if (pos.y() < caption.top() || pos.y() > caption.bottom() + 1 || pos.x() < caption.left()
        || pos.x() > caption.right())
        return Hit::Client;
    for (const CaptionButton& button : CaptionButtons())
        if (button.rect.contains(pos))
            return button.kind;
    const bool iconShown
        = (borderIcons_ & biSystemMenu) && (borderStyle_ == bsSingle || borderStyle_ == bsSizeable);
    if (iconShown && pos.x() < caption.left() + caption.height())
        return Hit::SystemMenu;
    return Hit::Caption;
}

// --- Colours and painting -------------------------------------------------------

void TGradientForm::CalculateColors()
{
    const QColor active = palette().color(QPalette::Active, QPalette::Highlight);
    QColor inactive = palette().color(QPalette::Inactive, QPalette::Highlight);
    // Styles that do not tell the inactive caption apart get the grey that
    // desktops usually give it.
    if (inactive == active)
        inactive = palette().color(QPalette::Active, QPalette::Dark);
    const QColor captionColors[2] = { inactive, active };
    const int last = gradientColors_ - 1;
    for (int row = 0; row < 2; ++row) {
        const QColor& color = captionColors[row];
        const double red = color.red() / double(last);
        const double green = color.green() / double(last);
        const double blue = color.blue() / double(last);
        for (int j = 0; j <= last; ++j)
            colors_[size_t(row)][size_t(j)]
                = qRgb(RoundHalfEven(red * j), RoundHalfEven(green * j), RoundHalfEven(blue * j));
    }
}

QColor TGradientForm::CaptionColor(bool active) const
{
    return QColor(colors_[active ? 1 : 0][size_t(gradientColors_ - 1)]);
}

void TGradientForm::paintEvent(QPaintEvent*)
{
    if (borderStyle_ == bsNone)
        return;
    QPainter painter(this);
    PaintFrame(painter);
    PaintCaption(painter, isActiveWindow());
}

void TGradientForm::PaintFrame(QPainter& painter)
{
    if (FrameWidth() > 0)
        qDrawWinPanel(&painter, rect(), palette(), false);
}

void TGradientForm::PaintCaption(QPainter& painter, bool active)
{
    const QRect caption = CaptionRect();
    if (caption.isEmpty())
        return;
    const qreal ratio = devicePixelRatioF();
    QPixmap bitmap(caption.size() * ratio);
    bitmap.setDevicePixelRatio(ratio);
    QPainter offscreen(&bitmap);
    QRect area(QPoint(0, 0), caption.size());
    const bool gradient = active || gradientOnInactive_;
    if (gradient)
        PaintGradient(offscreen, area, active);
    else
        offscreen.fillRect(area, CaptionColor(false));
    area.setLeft(area.left() + 1);
    if ((borderIcons_ & biSystemMenu) && (borderStyle_ == bsSingle || borderStyle_ == bsSizeable))
        DrawCaptionIcon(offscreen, area);
    const std::vector<CaptionButton> buttons = CaptionButtons();
    const QPoint offset = -caption.topLeft();
    const int textLimit = buttons.empty() ? area.right() : buttons.back().rect.left() + offset.x() - 2;
    const QColor textColor
        = gradient ? QColor(255, 255, 255) : palette().color(QPalette::Inactive, QPalette::Light);
    DrawCaptionText(offscreen, area, textColor, textLimit);
    for (const CaptionButton& button : buttons)
        DrawCaptionButton(offscreen, button, offset);
    offscreen.end();
    painter.drawPixmap(caption.topLeft(), bitmap);
}

void TGradientForm::PaintGradient(QPainter& painter, const QRect& rect, bool active)
{
    const auto& row = colors_[active ? 1 : 0];
    const double bandWidth = rect.width() / double(gradientColors_);
    for (int band = 0; band < gradientColors_; ++band) {
        const int left = RoundHalfEven(bandWidth * band);
        const int right = RoundHalfEven(bandWidth * (band + 1));
        painter.fillRect(
            rect.left() + left, rect.top(), right - left, rect.height(), QColor(row[size_t(band)]));
    }
}

void TGradientForm::DrawCaptionIcon(QPainter& painter, QRect& rect)
{
    QIcon icon = windowIcon();
    if (icon.isNull())
        icon = StandardApplicationIcon();
    QImage square(StandardIconSize, StandardIconSize, QImage::Format_RGB32);
    square.fill(Qt::black);
    {
        QPainter iconPainter(&square);
        icon.paint(&iconPainter, square.rect());
    }
    const int height = rect.height();
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(rect.left(), rect.top() + 1, height - 2, height - 2), square);
    painter.restore();
    rect.setLeft(rect.left() + height - 1);
}

void TGradientForm::DrawCaptionText(QPainter& painter, QRect& rect, const QColor& color, int rightLimit)
{
    rect.setLeft(rect.left() + 2);
    painter.save();
    painter.setFont(captionFont_);
    painter.setPen(color);
    const QString text
        = painter.fontMetrics().elidedText(windowTitle(), Qt::ElideRight, qMax(0, rightLimit - rect.left()));
    painter.drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    painter.restore();
}

namespace {

enum class Glyph { Close, Maximize, Restore, Minimize, Help };

// The classic caption-button glyphs, drawn into a square of side size at
// (x, y) with crisp one-pixel lines.
void DrawGlyph(QPainter& painter, int x, int y, int size, const QColor& color, Glyph glyph)
{
    painter.setPen(color);
    const int last = size - 1;
    switch (glyph) {
    case Glyph::Close: // a cross two pixels wide
        for (int shift = 0; shift < 2; ++shift) {
            painter.drawLine(x + shift, y, x + last - 1 + shift, y + last - 1);
            painter.drawLine(x + last - 1 + shift, y, x + shift, y + last - 1);
        }
        break;
    case Glyph::Maximize: // a frame with a heavy top
        painter.drawRect(x, y, last, last);
        painter.drawLine(x, y + 1, x + last, y + 1);
        break;
    case Glyph::Restore: { // two overlapping frames
        const int box = size * 2 / 3;
        const int shift = size - box;
        painter.drawRect(x + shift, y, box - 1, box - 1);
        painter.drawLine(x + shift, y + 1, x + last, y + 1);
        painter.fillRect(x + 1, y + shift + 2, box - 2, box - 3, painter.background());
        painter.drawRect(x, y + shift, box - 1, box - 1);
        painter.drawLine(x, y + shift + 1, x + box - 1, y + shift + 1);
        break;
    }
    case Glyph::Minimize: // a bar at the bottom
        painter.fillRect(x + 1, y + last - 1, size * 2 / 3, 2, color);
        break;
    case Glyph::Help: { // a question mark
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(size + 2);
        painter.setFont(font);
        painter.drawText(QRect(x - 2, y - 2, size + 4, size + 4), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
}

} // namespace

void TGradientForm::DrawCaptionButton(QPainter& painter, const CaptionButton& button, QPoint offset)
{
    const QRect rect = button.rect.translated(offset);
    const bool sunken = button.kind == pressedButton_ && pressedInside_;
    const QBrush face = palette().brush(QPalette::Active, QPalette::Button);
    qDrawWinButton(&painter, rect, palette(), sunken, &face);
    const int size = qMax(5, (rect.height() - 4) * 9 / 10 - (rect.height() - 4) % 2);
    const int x = rect.left() + (rect.width() - size) / 2 + (sunken ? 1 : 0);
    const int y = rect.top() + (rect.height() - size) / 2 + (sunken ? 1 : 0);
    Glyph glyph = Glyph::Help;
    if (button.kind == Hit::Close)
        glyph = Glyph::Close;
    else if (button.kind == Hit::MaxRestore)
        glyph = isMaximized() ? Glyph::Restore : Glyph::Maximize;
    else if (button.kind == Hit::Minimize)
        glyph = Glyph::Minimize;
    painter.save();
    painter.setBackground(face);
    if (button.enabled) {
        DrawGlyph(painter, x, y, size, palette().color(QPalette::Active, QPalette::ButtonText), glyph);
    } else {
        // Disabled: engraved, grey over a light shadow.
        DrawGlyph(painter, x + 1, y + 1, size, palette().color(QPalette::Active, QPalette::Light), glyph);
        DrawGlyph(painter, x, y, size, palette().color(QPalette::Active, QPalette::Dark), glyph);
    }
    painter.restore();
}

// --- Events ----------------------------------------------------------------------

void TGradientForm::changeEvent(QEvent* event)
{
    switch (event->type()) {
    case QEvent::PaletteChange:
        CalculateColors();
        update();
        break;
    case QEvent::ActivationChange:
    case QEvent::WindowTitleChange:
    case QEvent::WindowIconChange:
        update(CaptionRect());
        break;
    case QEvent::WindowStateChange:
        CompleteStateChange(static_cast<QWindowStateChangeEvent*>(event)->oldState());
        break;
    default:
        break;
    }
    QMainWindow::changeEvent(event);
}

void TGradientForm::CompleteStateChange(Qt::WindowStates oldState)
{
    const bool wasMaximized = oldState.testFlag(Qt::WindowMaximized);
    const bool maximized = isMaximized();
    if (maximized && !wasMaximized)
        normalGeometry_ = geometry();
    UpdateFrame();
    // A hidden window is checked when it is shown.
    if (maximized != wasMaximized && isVisible())
        CheckStateAnswered(maximized);
}

void TGradientForm::CheckStateAnswered(bool maximized)
{
    // Without a window manager nothing answers a maximise or restore
    // request; when the geometry has not moved after a while, the form
    // takes the size it asked for itself.
    const QRect requestedFrom = geometry();
    QTimer::singleShot(UnansweredStateMs, this, [this, requestedFrom, maximized] {
        if (isMaximized() != maximized || geometry() != requestedFrom || !windowHandle())
            return;
        // Through the platform window: QWidget::setGeometry would drop
        // the maximised state.
        if (maximized && screen())
            windowHandle()->setGeometry(screen()->availableGeometry());
        else if (!maximized && normalGeometry_.isValid())
            windowHandle()->setGeometry(normalGeometry_);
    });
}

void TGradientForm::mousePressEvent(QMouseEvent* event)
{
    const Hit hit = HitTest(event->position().toPoint());
    const QPoint global = event->globalPosition().toPoint();
    if (event->button() == Qt::RightButton && (hit == Hit::Caption || hit == Hit::SystemMenu)) {
        ShowSystemMenu(global);
        return;
    }
    if (event->button() != Qt::LeftButton || hit == Hit::Client) {
        QMainWindow::mousePressEvent(event);
        return;
    }
    pressGlobal_ = global;
    pressGeometry_ = geometry();
    switch (hit) {
    case Hit::Caption:
        movePending_ = true;
        break;
    case Hit::SystemMenu:
        ShowSystemMenu(mapToGlobal(CaptionRect().bottomLeft()));
        break;
    case Hit::Close:
    case Hit::MaxRestore:
    case Hit::Minimize:
    case Hit::Help:
        for (const CaptionButton& button : CaptionButtons())
            if (button.kind == hit && button.enabled) {
                pressedButton_ = hit;
                pressedInside_ = true;
                update(CaptionRect());
            }
        break;
    default:
        StartResize(hit);
        break;
    }
}

void TGradientForm::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    const QPoint global = event->globalPosition().toPoint();
    if (drag_ != Drag::None) {
        ContinueDrag(global);
        return;
    }
    if (pressedButton_ != Hit::Client) {
        const bool inside = HitTest(pos) == pressedButton_;
        if (inside != pressedInside_) {
            pressedInside_ = inside;
            update(CaptionRect());
        }
        return;
    }
    if (movePending_ && (event->buttons() & Qt::LeftButton)) {
        if ((global - pressGlobal_).manhattanLength() >= QApplication::startDragDistance()) {
            movePending_ = false;
            StartMove();
            if (drag_ == Drag::Move)
                ContinueDrag(global);
        }
        return;
    }
    UpdateCursor(HitTest(pos));
    QMainWindow::mouseMoveEvent(event);
}

void TGradientForm::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QMainWindow::mouseReleaseEvent(event);
        return;
    }
    const Hit pressed = pressedButton_;
    const bool inside = pressedInside_;
    pressedButton_ = Hit::Client;
    pressedInside_ = false;
    movePending_ = false;
    drag_ = Drag::None;
    UpdateCursor(HitTest(event->position().toPoint()));
    if (pressed != Hit::Client) {
        update(CaptionRect());
        // Last: closing may free the form.
        if (inside)
            PressButton(pressed);
    }
}

void TGradientForm::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && HitTest(event->position().toPoint()) == Hit::Caption) {
        movePending_ = false;
        if (CanMaximize())
            ToggleMaximized();
        return;
    }
    QMainWindow::mouseDoubleClickEvent(event);
}

// --- Window operations -------------------------------------------------------------

void TGradientForm::UpdateCursor(Hit hit)
{
    // Set on the platform window, not on the widget, so that children do not
    // inherit a sizing cursor when the pointer moves on to them.
    QWindow* window = windowHandle();
    if (!window)
        return;
    switch (hit) {
    case Hit::Left:
    case Hit::Right:
        window->setCursor(Qt::SizeHorCursor);
        break;
    case Hit::Top:
    case Hit::Bottom:
        window->setCursor(Qt::SizeVerCursor);
        break;
    case Hit::TopLeft:
    case Hit::BottomRight:
        window->setCursor(Qt::SizeFDiagCursor);
        break;
    case Hit::TopRight:
    case Hit::BottomLeft:
        window->setCursor(Qt::SizeBDiagCursor);
        break;
    default:
        window->setCursor(cursor());
        break;
    }
}

void TGradientForm::StartMove()
{
    if (isMaximized() || !windowHandle())
        return;
    if (!windowHandle()->startSystemMove())
        drag_ = Drag::Move;
}

void TGradientForm::StartResize(Hit hit)
{
    dragEdges_ = EdgesOf(hit == Hit::Left || hit == Hit::TopLeft || hit == Hit::BottomLeft,
        hit == Hit::Top || hit == Hit::TopLeft || hit == Hit::TopRight,
        hit == Hit::Right || hit == Hit::TopRight || hit == Hit::BottomRight,
        hit == Hit::Bottom || hit == Hit::BottomLeft || hit == Hit::BottomRight);
    if (!windowHandle() || !windowHandle()->startSystemResize(dragEdges_))
        drag_ = Drag::Resize;
}

void TGradientForm::ContinueDrag(QPoint globalPos)
{
    const QPoint delta = globalPos - pressGlobal_;
    if (drag_ == Drag::Move) {
        move(pressGeometry_.topLeft() + delta);
        return;
    }
    QSize least = minimumSize().expandedTo(minimumSizeHint());
    // Room for the caption's icon and buttons.
    least
        = least.expandedTo(QSize(2 * FrameWidth() + 5 * CaptionHeight(), FrameWidth() * 2 + CaptionHeight()));
    QRect geometry = pressGeometry_;
    if (dragEdges_ & Qt::LeftEdge)
        geometry.setLeft(qMin(geometry.left() + delta.x(), geometry.right() + 1 - least.width()));
    if (dragEdges_ & Qt::RightEdge)
        geometry.setRight(qMax(geometry.right() + delta.x(), geometry.left() + least.width() - 1));
    if (dragEdges_ & Qt::TopEdge)
        geometry.setTop(qMin(geometry.top() + delta.y(), geometry.bottom() + 1 - least.height()));
    if (dragEdges_ & Qt::BottomEdge)
        geometry.setBottom(qMax(geometry.bottom() + delta.y(), geometry.top() + least.height() - 1));
    setGeometry(geometry);
}

void TGradientForm::PressButton(Hit button)
{
    switch (button) {
    case Hit::Close:
        close();
        break;
    case Hit::MaxRestore:
        ToggleMaximized();
        break;
    case Hit::Minimize:
        showMinimized();
        break;
    case Hit::Help:
        QWhatsThis::enterWhatsThisMode();
        break;
    default:
        break;
    }
}

void TGradientForm::ShowSystemMenu(QPoint globalPos)
{
    QMenu menu(this);
    const bool maximized = isMaximized();
    menu.addAction(tr("&Restore"), this, &TGradientForm::ToggleMaximized)
        ->setEnabled(maximized && CanMaximize());
    menu.addAction(tr("Mi&nimize"), this, &QWidget::showMinimized)
        ->setEnabled(borderIcons_.testFlag(biMinimize) && borderStyle_ != bsDialog && !IsToolWindow());
    menu.addAction(tr("Ma&ximize"), this, &TGradientForm::ToggleMaximized)
        ->setEnabled(!maximized && CanMaximize());
    menu.addSeparator();
    menu.addAction(tr("&Close"), this, &QWidget::close);
    menu.exec(globalPos);
}

void TGradientForm::ToggleMaximized()
{
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

void TGradientForm::CenterOnScreen()
{
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = frameGeometry().size();
    move(qMax(area.left(), area.left() + (area.width() - size.width()) / 2),
        qMax(area.top(), area.top() + (area.height() - size.height()) / 2));
}

} // namespace lumigrab
