// Dialogs here are laid out at fixed positions, as they were designed; each
// widget gets its name (for tests and style sheets) and its rectangle.
#pragma once

#include <QLatin1String>

namespace lumigrab {

template <typename Widget>
Widget* Place(Widget* widget, const char* name, int left, int top, int width, int height)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

} // namespace lumigrab
