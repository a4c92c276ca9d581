#include "toolglyphs.h"

#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <functional>

namespace lumigrab {

namespace {

// Glyphs are designed on a 24 x 24 grid.
constexpr qreal GlyphGrid = 24;
// The icon is designed on a 48 x 48 grid, like lumigrab.svg.
constexpr qreal IconGrid = 48;

struct GlyphColors {
    QColor body;
    QColor mark;
};

GlyphColors ColorsFor(TGlyph glyph, QIcon::Mode mode)
{
    if (mode == QIcon::Disabled)
        return { QColor(0xb4, 0xb9, 0xc0), QColor(0xf4, 0xf5, 0xf7) };
    const QColor mark(Qt::white);
    switch (glyph) {
    case TGlyph::Go:
        return { QColor(0x2e, 0x9d, 0x57), mark };
    case TGlyph::Stop:
        return { QColor(0xd6, 0x45, 0x41), mark };
    case TGlyph::Back:
    case TGlyph::Forward:
        return { QColor(0x2f, 0x6f, 0xc6), mark };
    case TGlyph::Setup:
        return { QColor(0x5a, 0x67, 0x78), mark };
    }
    return { Qt::black, mark };
}

void PaintDisc(QPainter& painter, const QColor& color)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(1.5, 1.5, 21, 21));
}

void PaintGo(QPainter& painter, const GlyphColors& colors)
{
    PaintDisc(painter, colors.body);
    QPainterPath triangle;
    triangle.moveTo(9.5, 7);
    triangle.lineTo(17.5, 12);
    triangle.lineTo(9.5, 17);
    triangle.closeSubpath();
    painter.setBrush(colors.mark);
    painter.drawPath(triangle);
}

void PaintStop(QPainter& painter, const GlyphColors& colors)
{
    PaintDisc(painter, colors.body);
    painter.setBrush(colors.mark);
    painter.drawRoundedRect(QRectF(8, 8, 8, 8), 1.2, 1.2);
}

// A shaft with a head, pointing left; Forward mirrors it.
void PaintArrow(QPainter& painter, const GlyphColors& colors, bool forward)
{
    if (forward) {
        painter.translate(GlyphGrid, 0);
        painter.scale(-1, 1);
    }
    QPen pen(colors.body, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(QPointF(5, 12), QPointF(19.5, 12));
    QPainterPath head;
    head.moveTo(11.5, 5);
    head.lineTo(4.5, 12);
    head.lineTo(11.5, 19);
    painter.drawPath(head);
}

void PaintSetup(QPainter& painter, const GlyphColors& colors)
{
    constexpr int Teeth = 8;
    constexpr qreal Outer = 10.5;
    constexpr qreal Inner = 7.8;
    QPainterPath gear;
    for (int i = 0; i < Teeth * 4; ++i) {
        // Each tooth: rise, top, fall, gap, in quarter steps.
        const qreal angle = (i - 0.5) * M_PI * 2 / (Teeth * 4);
        const qreal radius = (i % 4 == 0 || i % 4 == 1) ? Outer : Inner;
        const QPointF point(12 + radius * std::cos(angle), 12 + radius * std::sin(angle));
        if (i == 0)
            gear.moveTo(point);
        else
            gear.lineTo(point);
    }
    gear.closeSubpath();
    gear.addEllipse(QPointF(12, 12), 3.4, 3.4);
    gear.setFillRule(Qt::OddEvenFill);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colors.body);
    painter.drawPath(gear);
}

void PaintGlyph(QPainter& painter, TGlyph glyph, QIcon::Mode mode)
{
    const GlyphColors colors = ColorsFor(glyph, mode);
    switch (glyph) {
    case TGlyph::Go:
        PaintGo(painter, colors);
        break;
    case TGlyph::Stop:
        PaintStop(painter, colors);
        break;
    case TGlyph::Back:
        PaintArrow(painter, colors, false);
        break;
    case TGlyph::Forward:
        PaintArrow(painter, colors, true);
        break;
    case TGlyph::Setup:
        PaintSetup(painter, colors);
        break;
    }
}

// Draws a vector picture designed on a square grid into any rectangle,
// centred and as large as fits.
class TVectorIconEngine : public QIconEngine {
public:
    using Painter = std::function<void(QPainter&, QIcon::Mode)>;

    TVectorIconEngine(Painter paint, qreal grid)
        : paint_(std::move(paint))
        , grid_(grid)
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal side = qMin(rect.width(), rect.height());
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->translate(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2);
        painter->scale(side / grid_, side / grid_);
        paint_(*painter, mode);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap pixmap(size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, pixmap.rect(), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QIconEngine* clone() const override { return new TVectorIconEngine(paint_, grid_); }

private:
    Painter paint_;
    qreal grid_;
};

} // namespace

QIcon GlyphIcon(TGlyph glyph)
{
    return QIcon(new TVectorIconEngine(
        [glyph](QPainter& painter, QIcon::Mode mode) { PaintGlyph(painter, glyph, mode); }, GlyphGrid));
}

void PaintLumigrabIcon(QPainter& painter, const QRectF& bounds)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(bounds.topLeft());
    painter.scale(bounds.width() / IconGrid, bounds.height() / IconGrid);
    painter.setPen(Qt::NoPen);

    // The tile: a sky from deep to light blue.
    QLinearGradient sky(0, 2, 0, 46);
    sky.setColorAt(0, QColor(0x1d, 0x4e, 0x89));
    sky.setColorAt(1, QColor(0x4f, 0x9c, 0xd9));
    painter.setBrush(sky);
    painter.drawRoundedRect(QRectF(2, 2, 44, 44), 9, 9);

    // Sun and two hills, clipped to the tile.
    QPainterPath tile;
    tile.addRoundedRect(QRectF(2, 2, 44, 44), 9, 9);
    painter.setClipPath(tile);
    painter.setBrush(QColor(0xff, 0xd3, 0x4d));
    painter.drawEllipse(QPointF(32, 15), 6, 6);
    QPainterPath farHill;
    farHill.moveTo(2, 40);
    farHill.lineTo(17, 20);
    farHill.lineTo(30, 36);
    farHill.lineTo(2, 46);
    farHill.closeSubpath();
    painter.setBrush(QColor(0x3f, 0xb3, 0x7f));
    painter.drawPath(farHill);
    QPainterPath nearHill;
    nearHill.moveTo(10, 46);
    nearHill.lineTo(31, 25);
    nearHill.lineTo(46, 38);
    nearHill.lineTo(46, 46);
    nearHill.closeSubpath();
    painter.setBrush(QColor(0x1f, 0x7a, 0x55));
    painter.drawPath(nearHill);
    painter.setClipping(false);

    // The badge: an orange disc with a white arrow pointing down.
    painter.setBrush(QColor(0xf2, 0x8c, 0x28));
    painter.setPen(QPen(Qt::white, 2));
    painter.drawEllipse(QPointF(36, 36), 9, 9);
    QPen arrow(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(arrow);
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(QPointF(36, 30.5), QPointF(36, 40.5));
    QPainterPath head;
    head.moveTo(31.8, 36.6);
    head.lineTo(36, 40.8);
    head.lineTo(40.2, 36.6);
    painter.drawPath(head);
    painter.restore();
}

QIcon LumigrabIcon()
{
    return QIcon(new TVectorIconEngine(
        [](QPainter& painter, QIcon::Mode) { PaintLumigrabIcon(painter, QRectF(0, 0, IconGrid, IconGrid)); },
        IconGrid));
}

} // namespace lumigrab
