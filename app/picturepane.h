// The scrolling picture pane: shows one picture fitted to the pane (scaled
// down to fit whole, never up beyond 100 %, aspect kept, centred) and lets
// the user zoom and pan from there, and turn it by quarters.
//
// One scale factor holds for both sides, so the picture keeps its shape
// through any number of zoom steps. Scroll bars show only when the picture
// is larger than the pane; a drag with the left button held pans it, a
// left click without a drag, or a right or middle press, is reported as a
// click (the window zooms on it); Ctrl and the wheel zoom at the pointer.
#pragma once

#include <QImage>
#include <QPoint>
#include <QScrollArea>

class QLabel;

namespace lumigrab {

class TPictureView;

class TPicturePane : public QScrollArea {
    Q_OBJECT

public:
    // One zoom step: 10 % of the current size.
    static constexpr double kZoomStep = 0.10;

    explicit TPicturePane(QWidget* parent = nullptr);

    TPictureView* View() const { return view_; }
    const QImage& Picture() const;
    // Shows picture fitted to the pane, upright; a null image empties the
    // pane. Clears the notice.
    void SetPicture(QImage picture);
    // The next frame of the picture on show (an animation's): zoom, fit
    // and turn stay as they are.
    void ShowFrame(QImage frame);
    // Turns the view a quarter clockwise per step (negative: back) and fits
    // it again; the picture itself is not changed.
    void Turn(int quarters);
    int Turns() const;

    // Picture pixels to device pixels: 1 at 100 %.
    double Scale() const { return scale_; }
    // Whether the scale follows the pane's size.
    bool Fitted() const { return fitted_; }
    // The largest scale at which the whole picture fits the pane, at most 1.
    double FitScale() const;

    void FitToPane();
    void ShowActualSize();
    // steps zoom steps in (positive) or out (negative), keeping the picture
    // point at anchor (viewport coordinates) where it is; the pane's centre
    // without one.
    void Zoom(int steps);
    void ZoomAt(int steps, QPointF anchor);

    // A text over the pane's middle (why nothing shows); empty hides it.
    void SetNotice(const QString& text);
    QString Notice() const;

signals:
    // A left click that did not pan, or a right or middle press.
    void Clicked(Qt::MouseButton button);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void SetScale(double scale, QPointF anchor);
    void Layout();
    QSize DisplaySize(double scale) const;
    void PlaceNotice();

    TPictureView* view_;
    QLabel* notice_;
    double scale_ = 1;
    bool fitted_ = true;
    // The left button's press, for telling a drag from a click.
    bool leftDown_ = false;
    bool panning_ = false;
    // Wheel turns short of a notch, kept for the next event.
    int wheelAngle_ = 0;
    QPoint pressAt_;
    QPoint scrollAtPress_;
};

} // namespace lumigrab
