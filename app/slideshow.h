// The slideshow (F5): Forward every "Slideshow Seconds" on its own. Any key
// or mouse click ends it, and does nothing else. At the set's last picture
// it waits for the next while more may come (a Go runs), and otherwise
// stops there. Full screen, or not, stays as the window is. It knows
// nothing of the window: the window says how to step and what may come.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace lumigrab {

// What Setup offers and a settings file without the value gives.
constexpr int DefaultSlideshowSeconds = 4;
constexpr int MinSlideshowSeconds = 1;
constexpr int MaxSlideshowSeconds = 3600;

class TSlideshow : public QObject {
    Q_OBJECT

public:
    explicit TSlideshow(QObject* parent = nullptr);
    ~TSlideshow() override;

    // Whether the picture on show is the set's last (or the set is empty).
    std::function<bool()> AtLast;
    // Whether another picture may still join the set.
    std::function<bool()> MoreComing;
    std::function<void()> Forward;
    // The slideshow ended: by a key, a click, or at the last picture.
    std::function<void()> OnEnded;

    // Steps every interval (milliseconds, for tests; the window passes
    // seconds times 1000) until Stop.
    void Start(int intervalMs);
    void Stop();
    bool Running() const { return timer_.isActive(); }
    int IntervalMs() const { return timer_.interval(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QTimer timer_;
    // The key that ended the slideshow is not taken as a command too.
    bool swallowKey_ = false;

    void Step();
};

} // namespace lumigrab
