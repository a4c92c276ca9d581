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

QSize TPictureView::sizeHint() const
{
    return picture_.size();
}

void TPictureView::paintEvent(QPaintEvent* event)
{
    if (picture_.isNull() || width() <= 0 || height() <= 0)
        return;
    QPainter painter(this);
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
