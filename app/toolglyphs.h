// The pictures of the program: the glyphs of the tool buttons and the
// program's own icon, drawn as vectors so they stay sharp at any size and
// screen density. The icon is the same drawing as lumigrab.svg, which the
// desktop uses.
#pragma once

#include <QIcon>
#include <QRectF>

class QPainter;

namespace lumigrab {

enum class TGlyph { Go, Stop, Back, Forward, Setup };

// The glyph as an icon; the disabled state is drawn in grey.
QIcon GlyphIcon(TGlyph glyph);

// The program's icon: a landscape picture on a sky-blue tile with a
// download badge.
QIcon LumigrabIcon();
void PaintLumigrabIcon(QPainter& painter, const QRectF& bounds);

} // namespace lumigrab
