// The small dialog that edits a mail address (display name and mailbox).
// InstallMailAddressEditor() makes TmsMailAddress::Edit open it; the program
// calls it once at start.
#pragma once

#include <QDialog>

#include <memory>

#include "message/msmsgcls.h"

class QLineEdit;

namespace lumigrab {

class TMailAddressDlg : public QDialog {
    Q_OBJECT

public:
    explicit TMailAddressDlg(QWidget* owner = nullptr);
    ~TMailAddressDlg() override;

    // Shows a copy of address in the edit fields.
    void LoadAddress(const TmsMailAddress& address);
    // The edited address: what was loaded until the dialog is closed with
    // OK, then the two edit texts (each cut to 255 characters).
    const TmsMailAddress& Address() const { return *address_; }

private:
    void OKButtonClick();

    std::unique_ptr<TmsMailAddress> address_;
    QLineEdit* nameEdit_;
    QLineEdit* addressEdit_;
};

// Installs the dialog as the editor behind TmsMailAddress::Edit.
void InstallMailAddressEditor();

} // namespace lumigrab
