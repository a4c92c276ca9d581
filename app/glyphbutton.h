// A flat tool button with its glyph above its caption. The caption uses
// the whole width of the button, in a narrower font when it would not fit,
// so short buttons still show whole words ("Forward").
#pragma once

#include <QAbstractButton>

namespace lumigrab {

class TGlyphButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit TGlyphButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QFont CaptionFont(int width) const;
};

} // namespace lumigrab
