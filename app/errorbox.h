// The program's error box, and the one way handlers of user actions run:
// whatever a handler raises ends up in an error box with the error's text,
// never in the Qt event loop.
//
// The box does not block: it is modal for its window but returns at once.
// A handler may run nested inside a network wait (the client pumps events
// while it waits), and a box with an event loop of its own would hold that
// wait, and everything beneath it, until the user closed it.
#pragma once

#include <QString>

class QWidget;

namespace lumigrab {

// The text of the exception being handled; call inside a catch block only.
QString CurrentErrorText();

// Opens an error box on parent with text and returns.
void ShowErrorBox(QWidget* parent, const QString& text) noexcept;

// Runs handler; what it raises is shown in an error box on parent.
template <typename Handler> void Guarded(QWidget* parent, Handler&& handler) noexcept
{
    try {
        handler();
    } catch (...) {
        ShowErrorBox(parent, CurrentErrorText());
    }
}

} // namespace lumigrab
