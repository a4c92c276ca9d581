// An underlined label that opens its target (a web address, a mailto: link
// or a file) with the desktop's associated program when clicked.
#pragma once

#include <QColor>

#include "TRTLabelSrc.h"

namespace lumigrab {

class TRTWebLink : public TCustomLabel {
    Q_OBJECT

public:
    explicit TRTWebLink(QWidget* parent = nullptr);

    // The text colour; blue by default.
    QColor LinkColor() const { return linkColor_; }
    void SetLinkColor(const QColor& color);
    // What a left click opens. Failures to open it are not reported.
    const QString& LinkTo() const { return linkTo_; }
    void SetLinkTo(const QString& target) { linkTo_ = target; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QColor linkColor_;
    QString linkTo_;
};

} // namespace lumigrab
