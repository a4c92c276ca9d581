#include "glyphbutton.h"

#include <QPainter>

namespace lumigrab {

namespace {

constexpr int GlyphSize = 22;
constexpr int Margin = 3;
// Narrowest the caption font gets, as a share of the normal width.
constexpr int LeastStretch = 80;

} // namespace

TGlyphButton::TGlyphButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
    setIconSize(QSize(GlyphSize, GlyphSize));
}

QSize TGlyphButton::sizeHint() const
{
    return { 45, 45 };
}

void TGlyphButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    update();
}

void TGlyphButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    update();
}

QFont TGlyphButton::CaptionFont(int width) const
{
    QFont font = this->font();
    for (int stretch = 100; stretch >= LeastStretch; stretch -= 5) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(text()) <= width)
            break;
    }
    return font;
}

void TGlyphButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (isEnabled() && (isDown() || underMouse())) {
        QColor fill = palette().color(QPalette::Highlight);
        fill.setAlpha(isDown() ? 70 : 34);
        QColor edge = palette().color(QPalette::Highlight);
        edge.setAlpha(isDown() ? 150 : 90);
        painter.setPen(edge);
        painter.setBrush(fill);
        painter.drawRoundedRect(frame, 4, 4);
    }
    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    const QRect glyph((width() - GlyphSize) / 2, Margin + 1, GlyphSize, GlyphSize);
    icon().paint(&painter, glyph, Qt::AlignCenter, mode);

    const QRect caption(1, glyph.bottom() + 1, width() - 2, height() - glyph.bottom() - 2);
    painter.setFont(CaptionFont(caption.width()));
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(caption, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, text());
}

} // namespace lumigrab
