#include "TRTLabelSrc.h"

namespace lumigrab {

TCustomLabel::TCustomLabel(QWidget* parent)
    : QLabel(parent)
{
}

void TCustomLabel::SetAutoSize(bool autoSize)
{
    autoSize_ = autoSize;
    if (autoSize_)
        adjustSize();
}

void TCustomLabel::SetCaption(const QString& caption)
{
    setText(caption);
    if (autoSize_)
        adjustSize();
}

TRTLabel::TRTLabel(QWidget* parent)
    : TCustomLabel(parent)
{
    SetAutoSize(false);
}

} // namespace lumigrab
