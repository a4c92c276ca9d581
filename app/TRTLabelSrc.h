// Labels with the sizing rule of the form designer's labels: with AutoSize
// the label takes the size of its text whenever the text changes, without
// it the label keeps the size it was given.
#pragma once

#include <QLabel>

namespace lumigrab {

// The label the other label classes build on. AutoSize is on by default.
class TCustomLabel : public QLabel {
    Q_OBJECT

public:
    explicit TCustomLabel(QWidget* parent = nullptr);

    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool autoSize);
    // Sets the text (and the size, with AutoSize).
    void SetCaption(const QString& caption);

private:
    bool autoSize_ = true;
};

// A plain label whose automatic sizing is off.
class TRTLabel : public TCustomLabel {
    Q_OBJECT

public:
    explicit TRTLabel(QWidget* parent = nullptr);
};

} // namespace lumigrab
