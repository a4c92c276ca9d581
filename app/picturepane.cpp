#include "picturepane.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "pictureview.h"

namespace lumigrab {
namespace {

// Beyond these a picture is a dot or a blur of a few pixels.
constexpr double kMinScale = 0.01;
constexpr double kMaxScale = 16;
// One notch of a common mouse wheel.
constexpr int kWheelNotch = 120;

int RoundedSide(double side)
{
    // Halves go to the even neighbour, like the zoom always did.
    return std::max(1, int(std::nearbyint(side)));
}

} // namespace

TPicturePane::TPicturePane(QWidget* parent)
    : QScrollArea(parent)
    , view_(new TPictureView)
    , notice_(new QLabel(viewport()))
{
    setWidgetResizable(false);
    setAlignment(Qt::AlignCenter);
    setWidget(view_);
    notice_->setObjectName(QStringLiteral("PaneNotice"));
    notice_->setStyleSheet(QStringLiteral("color: #e0e3e8;"));
    notice_->setAlignment(Qt::AlignCenter);
    notice_->setWordWrap(true);
    notice_->hide();
}

const QImage& TPicturePane::Picture() const
{
    return view_->Picture();
}

void TPicturePane::SetPicture(QImage picture)
{
    view_->SetPicture(std::move(picture));
    view_->SetTurns(0);
    SetNotice({});
    fitted_ = true;
    Layout();
}

void TPicturePane::ShowFrame(QImage frame)
{
    const QSize before = view_->ShownSize();
    view_->SetPicture(std::move(frame));
    if (view_->ShownSize() != before)
        Layout();
}

void TPicturePane::Turn(int quarters)
{
    if (Picture().isNull())
        return;
    view_->SetTurns(view_->Turns() + quarters);
    fitted_ = true;
    Layout();
}

int TPicturePane::Turns() const
{
    return view_->Turns();
}

double TPicturePane::FitScale() const
{
    const QImage& picture = Picture();
    if (picture.isNull())
        return 1;
    const QSizeF room = QSizeF(maximumViewportSize()) * devicePixelRatioF();
    const QSize shown = view_->ShownSize();
    return std::clamp(
        std::min({ 1.0, room.width() / shown.width(), room.height() / shown.height() }), kMinScale, 1.0);
}

void TPicturePane::FitToPane()
{
    fitted_ = true;
    Layout();
}

void TPicturePane::ShowActualSize()
{
    fitted_ = false;
    SetScale(1, QPointF(viewport()->rect().center()));
}

void TPicturePane::Zoom(int steps)
{
    ZoomAt(steps, QPointF(viewport()->rect().center()));
}

void TPicturePane::ZoomAt(int steps, QPointF anchor)
{
    if (Picture().isNull() || steps == 0)
        return;
    const double factor = steps > 0 ? 1 + kZoomStep : 1 - kZoomStep;
    fitted_ = false;
    SetScale(std::clamp(scale_ * std::pow(factor, std::abs(steps)), kMinScale, kMaxScale), anchor);
}

void TPicturePane::SetScale(double scale, QPointF anchor)
{
    // Where the anchor falls on the picture, as a fraction of each side.
    const QRect before = view_->geometry();
    const double fractionX = before.width() > 0 ? (anchor.x() - before.x()) / before.width() : 0.5;
    const double fractionY = before.height() > 0 ? (anchor.y() - before.y()) / before.height() : 0.5;
    scale_ = scale;
    Layout();
    const QSize after = view_->size();
    horizontalScrollBar()->setValue(int(std::lround(fractionX * after.width() - anchor.x())));
    verticalScrollBar()->setValue(int(std::lround(fractionY * after.height() - anchor.y())));
}

QSize TPicturePane::DisplaySize(double scale) const
{
    const QImage& picture = Picture();
    if (picture.isNull())
        return QSize(0, 0);
    const double toWidget = scale / devicePixelRatioF();
    const QSize shown = view_->ShownSize();
    return QSize(RoundedSide(shown.width() * toWidget), RoundedSide(shown.height() * toWidget));
}

void TPicturePane::Layout()
{
    if (fitted_) {
        scale_ = FitScale();
        // Rounding must not make the fitted picture a pixel too large for
        // the pane, which would bring up scroll bars.
        view_->resize(DisplaySize(scale_).boundedTo(maximumViewportSize()));
    } else {
        view_->resize(DisplaySize(scale_));
    }
    view_->update();
}

void TPicturePane::SetNotice(const QString& text)
{
    notice_->setText(text);
    notice_->setVisible(!text.isEmpty());
    PlaceNotice();
}

QString TPicturePane::Notice() const
{
    return notice_->isVisible() ? notice_->text() : QString();
}

void TPicturePane::PlaceNotice()
{
    const QRect area = viewport()->rect();
    const int width = std::min(area.width(), 480);
    const int height = notice_->heightForWidth(width);
    notice_->setGeometry(
        area.x() + (area.width() - width) / 2, area.y() + (area.height() - height) / 2, width, height);
}

void TPicturePane::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    if (fitted_)
        Layout();
    PlaceNotice();
}

void TPicturePane::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    if (Picture().isNull())
        return;
    if (event->button() != Qt::LeftButton) {
        emit Clicked(event->button());
        return;
    }
    leftDown_ = true;
    panning_ = false;
    pressAt_ = event->globalPosition().toPoint();
    scrollAtPress_ = QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
}

void TPicturePane::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (!leftDown_)
        return;
    const QPoint moved = event->globalPosition().toPoint() - pressAt_;
    if (!panning_ && moved.manhattanLength() < QApplication::startDragDistance())
        return;
    if (!panning_)
        viewport()->setCursor(Qt::ClosedHandCursor);
    panning_ = true;
    horizontalScrollBar()->setValue(scrollAtPress_.x() - moved.x());
    verticalScrollBar()->setValue(scrollAtPress_.y() - moved.y());
}

void TPicturePane::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() != Qt::LeftButton || !leftDown_)
        return;
    leftDown_ = false;
    if (panning_) {
        viewport()->unsetCursor();
        panning_ = false;
        return;
    }
    emit Clicked(Qt::LeftButton);
}

void TPicturePane::wheelEvent(QWheelEvent* event)
{
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QScrollArea::wheelEvent(event);
        return;
    }
    event->accept();
    // Touchpads send fractions of a notch: they add up to whole steps.
    wheelAngle_ += event->angleDelta().y();
    const int steps = wheelAngle_ / kWheelNotch;
    wheelAngle_ -= steps * kWheelNotch;
    ZoomAt(steps, event->position());
}

} // namespace lumigrab
