// The picture pane's canvas: paints one decoded picture stretched over the
// whole widget, whatever size the pane around it gives the widget (the
// picture's own size at 100 %, more or less when zoomed or fitted).
//
// The picture is painted straight from the QImage, a clipped piece per
// exposed area, so showing a large picture costs no conversion to a
// pixmap first. It may be shown turned by quarters, as painted: the image
// itself stays as the file has it. Mouse events pass on to the pane, which
// zooms and pans.
#pragma once

#include <QImage>
#include <QWidget>

namespace lumigrab {

class TPictureView : public QWidget {
    Q_OBJECT

public:
    explicit TPictureView(QWidget* parent = nullptr);

    const QImage& Picture() const { return picture_; }
    // Shows picture over the widget's area; a null image empties it. The
    // size is left to the owner.
    void SetPicture(QImage picture);
    // Quarter turns clockwise, 0 to 3, kept across SetPicture.
    int Turns() const { return turns_; }
    void SetTurns(int quarters);
    // The picture's size as shown: its sides swapped when turned a quarter
    // or three.
    QSize ShownSize() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
    int turns_ = 0;
};

} // namespace lumigrab
