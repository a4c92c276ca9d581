#include "pictureview.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace lumigrab {

TPictureView::TPictureView(QWidget* parent)
    : QWidget(parent)
{
    resize(0, 0);
}

void TPictureView::SetPicture(QImage picture)
{
    picture_ = std::move(picture);
    if (autoSize_)
        FitToPicture();
    update();
}

void TPictureView::SetAutoSize(bool autoSize)
{
    autoSize_ = autoSize;
    if (autoSize_)
        FitToPicture();
}

void TPictureView::SetStretch(bool stretch)
{
    if (stretch == stretch_)
        return;
    stretch_ = stretch;
    update();
}

QSize TPictureView::sizeHint() const
{
    return picture_.size();
}

void TPictureView::FitToPicture()
{
    // The picture's pixels map 1:1 to device pixels.
    const qreal ratio = devicePixelRatioF();
    resize(picture_.isNull() ? QSize(0, 0) : (QSizeF(picture_.size()) / ratio).toSize());
}

void TPictureView::paintEvent(QPaintEvent* event)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    const QRect exposed = event->rect();
    if (stretch_) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setClipRect(exposed);
        painter.drawImage(rect(), picture_);
        return;
    }
    const qreal ratio = devicePixelRatioF();
    const QRect source(
        (QPointF(exposed.topLeft()) * ratio).toPoint(), (QSizeF(exposed.size()) * ratio).toSize());
    painter.drawImage(QRectF(exposed), picture_, QRectF(source));
}

void TPictureView::mousePressEvent(QMouseEvent* event)
{
    emit MouseDown(event->button());
    event->accept();
}

} // namespace lumigrab
