#include "message/msaddred.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "message/placewidget.h"

namespace lumigrab {

namespace {

// The message classes hold 8-bit text, one byte per character.
QString FromModel(const std::string& text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

std::string ToModel(const QString& text)
{
    return text.left(qsizetype(MaxShortString)).toLatin1().toStdString();
}

} // namespace

TMailAddressDlg::TMailAddressDlg(QWidget* owner)
    : QDialog(owner)
    , address_(std::make_unique<TmsMailAddress>())
{
    setWindowTitle(QStringLiteral("Address"));
    setFixedSize(240, 124);
    // Laid out in pixels for an 8-point font.
    QFont formFont = QApplication::font();
    formFont.setPointSize(8);
    setFont(formFont);

    auto* bevel = Place(new QFrame(this), "Bevel1", 8, 8, 225, 73);
    bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Place(new QLabel(QStringLiteral("Name"), this), "Label1", 24, 24, 33, 13)->adjustSize();
    Place(new QLabel(QStringLiteral("Address"), this), "Label2", 16, 56, 41, 13)->adjustSize();
    nameEdit_ = Place(new QLineEdit(this), "NameEdit", 64, 16, 161, 21);
    addressEdit_ = Place(new QLineEdit(this), "AddressEdit", 64, 48, 161, 21);

    auto* ok = Place(new QPushButton(QStringLiteral("OK"), this), "OKButton", 64, 88, 75, 25);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] {
        OKButtonClick();
        accept();
    });
    auto* cancel = Place(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton", 152, 88, 75, 25);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(nameEdit_, addressEdit_);
    setTabOrder(addressEdit_, ok);
    setTabOrder(ok, cancel);
    nameEdit_->setFocus();
}

TMailAddressDlg::~TMailAddressDlg() = default;

void TMailAddressDlg::LoadAddress(const TmsMailAddress& address)
{
    address_->CopyFrom(address);
    nameEdit_->setText(FromModel(address_->Name()));
    addressEdit_->setText(FromModel(address_->Address()));
}

void TMailAddressDlg::OKButtonClick()
{
    address_->SetName(ToModel(nameEdit_->text()));
    address_->SetAddress(ToModel(addressEdit_->text()));
}

void InstallMailAddressEditor()
{
    TmsMailAddress::SetEditor([](TmsMailAddress& address) {
        TMailAddressDlg dialog;
        dialog.LoadAddress(address);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        address.CopyFrom(dialog.Address());
        return true;
    });
}

} // namespace lumigrab
