#include "slideshow.h"

#include <QCoreApplication>
#include <QEvent>

namespace lumigrab {

TSlideshow::TSlideshow(QObject* parent)
    : QObject(parent)
{
    connect(&timer_, &QTimer::timeout, this, &TSlideshow::Step);
}

TSlideshow::~TSlideshow()
{
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(this);
}

void TSlideshow::Start(int intervalMs)
{
    timer_.start(std::max(1, intervalMs));
    swallowKey_ = false;
    QCoreApplication::instance()->installEventFilter(this);
}

void TSlideshow::Stop()
{
    if (!Running())
        return;
    timer_.stop();
    QCoreApplication::instance()->removeEventFilter(this);
    if (OnEnded)
        OnEnded();
}

void TSlideshow::Step()
{
    if (!AtLast || !AtLast()) {
        if (Forward)
            Forward();
        return;
    }
    if (!MoreComing || !MoreComing())
        Stop();
}

// A key reaches the application first as a shortcut override, then as the
// key press: both are taken, so that neither a shortcut nor the focused
// control acts on it. The filter stays until the press, past Stop.
bool TSlideshow::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        if (!Running())
            return QObject::eventFilter(watched, event);
        swallowKey_ = true;
        timer_.stop();
        if (OnEnded)
            OnEnded();
        event->accept();
        return true;
    case QEvent::KeyPress:
        if (swallowKey_ || Running()) {
            const bool wasRunning = Running();
            swallowKey_ = false;
            timer_.stop();
            QCoreApplication::instance()->removeEventFilter(this);
            if (wasRunning && OnEnded)
                OnEnded();
            return true;
        }
        break;
    case QEvent::MouseButtonPress:
        if (Running()) {
            Stop();
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace lumigrab
