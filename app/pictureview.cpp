#include "pictureview.h"

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
    update();
}

void TPictureView::SetTurns(int quarters)
{
    turns_ = ((quarters % 4) + 4) % 4;
    update();
}

QSize TPictureView::ShownSize() const
{
    return turns_ % 2 ? picture_.size().transposed() : picture_.size();
}

QSize TPictureView::sizeHint() const
{
    return ShownSize();
}

void TPictureView::paintEvent(QPaintEvent* event)
{
    if (picture_.isNull() || width() <= 0 || height() <= 0)
        return;
    QPainter painter(this);
    if (turns_ != 0) {
        // The whole picture through the turn; the painter clips it to
        // what was exposed.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(width() / 2.0, height() / 2.0);
        painter.rotate(90.0 * turns_);
        const QSizeF upright = turns_ % 2 ? QSizeF(height(), width()) : QSizeF(width(), height());
        painter.drawImage(QRectF(QPointF(-upright.width() / 2, -upright.height() / 2), upright), picture_);
        return;
    }
    const QRect exposed = event->rect();
    // The piece of the picture behind the exposed area: only that much is
    // scaled, however large the picture.
    const qreal scaleX = qreal(picture_.width()) / width();
    const qreal scaleY = qreal(picture_.height()) / height();
    const QRectF source(
        exposed.x() * scaleX, exposed.y() * scaleY, exposed.width() * scaleX, exposed.height() * scaleY);
    const bool oneToOne = qFuzzyCompare(scaleX * devicePixelRatioF(), 1.0)
        && qFuzzyCompare(scaleY * devicePixelRatioF(), 1.0);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, !oneToOne);
    painter.drawImage(QRectF(exposed), picture_, source);
}

} // namespace lumigrab
