#include "picturecounter.h"

#include <QFontMetrics>
#include <QLineEdit>

namespace lumigrab {

namespace {

// Room for the drop-down arrow and the edit's margins beside the text.
constexpr int ChromeWidth = 34;

} // namespace

TPictureCounter::TPictureCounter(QWidget* parent)
    : QComboBox(parent)
{
    setEditable(true);
    // Typed text never becomes an item, never completes to one ("1" is not
    // "10") and never selects one: only Enter decides what it means.
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setDuplicatesEnabled(true);
    connect(this, &QComboBox::activated, this, &TPictureCounter::Chosen);
    connect(lineEdit(), &QLineEdit::returnPressed, this, [this] { emit Typed(lineEdit()->text()); });
}

void TPictureCounter::SetCounterText(const QString& text)
{
    counterText_ = text;
    setEditText(text);
    // Large sets ("1234 of 10000") widen the box instead of cutting it.
    const int needed = fontMetrics().horizontalAdvance(text) + ChromeWidth;
    if (needed > width())
        resize(needed, height());
}

void TPictureCounter::showPopup()
{
    emit DropDown();
    QComboBox::showPopup();
}

void TPictureCounter::focusOutEvent(QFocusEvent* event)
{
    QComboBox::focusOutEvent(event);
    // Text typed but not confirmed with Enter is dropped.
    setEditText(counterText_);
}

} // namespace lumigrab
