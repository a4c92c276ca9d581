// The picture counter: an editable drop-down whose text reads "3 of 10"
// and whose list, filled just before it opens, holds the picture numbers.
// Typing a number and pressing Enter asks for that picture.
#pragma once

#include <QComboBox>

namespace lumigrab {

class TPictureCounter : public QComboBox {
    Q_OBJECT

public:
    explicit TPictureCounter(QWidget* parent = nullptr);

    // The text shown while the user is not typing.
    void SetCounterText(const QString& text);

    void showPopup() override;

signals:
    // Right before the list opens: the moment to fill it.
    void DropDown();
    // An item of the list was chosen.
    void Chosen(int index);
    // Enter was pressed on typed text.
    void Typed(const QString& text);

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    QString counterText_;
};

} // namespace lumigrab
