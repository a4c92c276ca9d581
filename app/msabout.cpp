#include "msabout.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "TRTVerLabelSrc.h"
#include "TRTWebLinkSrc.h"
#include "lumigrab_version.h"
#include "message/placewidget.h"

namespace lumigrab {

namespace {

QString Text(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

} // namespace

TAboutDlg::TAboutDlg(QWidget* owner)
    : QDialog(owner)
{
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(328, 202);
    // Laid out in pixels for an 8-point font.
    QFont formFont = QApplication::font();
    formFont.setPointSize(8);
    setFont(formFont);

    // Created first: first in the tab order.
    auto* ok = Place(new QPushButton(QStringLiteral("OK"), this), "OKButton", 130, 168, 75, 25);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* bevel = Place(new QFrame(this), "Bevel1", 8, 8, 313, 153);
    bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    auto* programName = Place(new QLabel(Text(version::ProductName), this), "ProgramName", 64, 22, 130, 41);
    QFont titleFont(QStringLiteral("Times New Roman"));
    titleFont.setStyleHint(QFont::Serif);
    titleFont.setPixelSize(35);
    titleFont.setBold(true);
    titleFont.setItalic(true);
    programName->setFont(titleFont);
    programName->adjustSize();

    auto* versionLabel = Place(new TVersionLabel(this), "VersionLabel1", 16, 72, 146, 13);
    versionLabel->adjustSize();

    auto* rights = Place(new QLabel(Text(version::LegalCopyright), this), "Label4", 16, 96, 135, 13);
    rights->adjustSize();

    const QString contact = Text(version::ContactAddress);
    auto* mail = Place(new TRTWebLink(this), "RTWebLink1", 16, 120, 130, 13);
    mail->SetCaption(QStringLiteral("E-Mail: ") + contact);
    mail->SetLinkTo(QStringLiteral("mailto:") + contact);

    const QString homePage = Text(version::HomePage);
    auto* web = Place(new TRTWebLink(this), "RTWebLink2", 16, 136, 171, 13);
    web->SetCaption(homePage);
    web->SetLinkTo(homePage);

    ok->setFocus();
    if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

} // namespace lumigrab
