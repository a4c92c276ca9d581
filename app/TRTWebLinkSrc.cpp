#include "TRTWebLinkSrc.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

namespace lumigrab {

TRTWebLink::TRTWebLink(QWidget* parent)
    : TCustomLabel(parent)
{
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    SetLinkColor(QColor(0, 0, 255));
    setCursor(Qt::PointingHandCursor);
}

void TRTWebLink::SetLinkColor(const QColor& color)
{
    linkColor_ = color;
    QPalette colors = palette();
    colors.setColor(QPalette::WindowText, color);
    setPalette(colors);
    update();
}

void TRTWebLink::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        TCustomLabel::mousePressEvent(event);
        return;
    }
    // Also takes what people write for a link: bare host names, file paths.
    QDesktopServices::openUrl(QUrl::fromUserInput(linkTo_));
}

} // namespace lumigrab
