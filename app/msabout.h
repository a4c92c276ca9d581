// The about box: product name, file version, rights notice, contact and
// home-page links.
//
//     TAboutDlg about(this);
//     about.exec();
#pragma once

#include <QDialog>

namespace lumigrab {

class TAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit TAboutDlg(QWidget* owner = nullptr);
};

} // namespace lumigrab
