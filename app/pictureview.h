// The picture pane: paints one decoded picture, at its natural size (the
// widget takes the picture's size, and the scroll area around it scrolls)
// or stretched to whatever size the widget is given (zoom).
//
// The picture is painted straight from the QImage, a clipped piece per
// exposed area, so showing a large picture costs no conversion to a
// pixmap first.
#pragma once

#include <QImage>
#include <QWidget>

namespace lumigrab {

class TPictureView : public QWidget {
    Q_OBJECT

public:
    explicit TPictureView(QWidget* parent = nullptr);

    const QImage& Picture() const { return picture_; }
    // Shows picture; a null image empties the pane. The size follows the
    // picture while AutoSize is on.
    void SetPicture(QImage picture);

    // The widget's size follows the picture's (turning it on resizes).
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool autoSize);
    // The picture fills the widget whatever its size; off, it is drawn
    // 1:1 from the top left.
    bool Stretch() const { return stretch_; }
    void SetStretch(bool stretch);

    QSize sizeHint() const override;

signals:
    // Any mouse button pressed on the pane.
    void MouseDown(Qt::MouseButton button);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void FitToPicture();

    QImage picture_;
    bool autoSize_ = true;
    bool stretch_ = false;
};

} // namespace lumigrab
