// Plays an animated picture (GIF, animated WebP) in the picture pane at the
// file's own frame times, looping as the file says: each frame replaces the
// last through TPicturePane::ShowFrame, so zoom, fit, turn and full screen
// hold through it. Frames are decoded one at a time and none is kept, so a
// long animation takes no more memory than a frame or two. One whose frames
// are beyond the picture limits, or that has more frames or pixels in all
// than they allow (app/picturelimits.h), is not played: its first frame
// stays, and the pane says why.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QMovie;

namespace lumigrab {

class TPicturePane;

// Why the animation at path is not played, or empty when it can be (or is
// no animation at all); frames, when given, learns its frame count.
QString AnimationRefusal(const QString& path, int* frames = nullptr);

class TPictureMovie : public QObject {
    Q_OBJECT

public:
    explicit TPictureMovie(TPicturePane& pane, QObject* parent = nullptr);
    ~TPictureMovie() override;

    // Plays the picture at path in the pane, which shows its first frame
    // already, when it is an animation of more than one frame that the
    // limits allow; true then. A still picture gives false and nothing
    // changes; a refused animation gives false with the pane's notice
    // saying why. Whatever played before stops.
    bool Play(const QString& path);
    void Stop();
    bool Playing() const;
    // Frames shown since Play, the first one counted.
    int FramesShown() const { return framesShown_; }

private:
    TPicturePane& pane_;
    std::unique_ptr<QMovie> movie_;
    int framesShown_ = 0;

    void ShowFrame();
};

} // namespace lumigrab
