#include "nntpsu.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>

#include "base/classes.h"
#include "errorbox.h"
#include "message/placewidget.h"
#include "news/msnntp.h"
#include "nntpmain.h"

namespace lumigrab {

namespace {

const char* const HelpText
    = "Enter the name of your news server. The default, news, may work; otherwise your server is "
      "most likely called news. followed by the domain part of your e-mail address, such as "
      "news.example.com. A port may follow the name after a colon.";
const char* const TLSHint = "A secure connection (NNTPS), on port 563 unless the server name gives a port";
const char* const PasswordInFileText
    = "No keyring runs on this desktop: the password is kept in the settings file, readable by you only.";
const char* const PasswordInKeyringText = "The password is kept in the desktop's keyring.";

// The hourglass, for as long as the object lives, whatever happens.
class TWaitCursor {
public:
    TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// Replaces fileName with bytes in one step: they go to a new file beside
// it first, so a failure leaves the old file as it was.
void ReplaceFile(const QString& fileName, const std::string& bytes)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError("Cannot create file " + fileName.toStdString());
    file.write(bytes.data(), qint64(bytes.size()));
    if (!file.commit())
        throw EInOutError("Cannot write file " + fileName.toStdString());
}

} // namespace

void KeepPictureGroups(TStringList& lines)
{
    int i = 0;
    while (i < lines.Count()) {
        std::string& line = lines[i];
        if (line.find("picture") == std::string::npos) {
            lines.Delete(i);
            continue;
        }
        line = line.substr(0, line.find(' '));
        ++i;
    }
}

TSetupDlg::TSetupDlg(TfrmMain& owner)
    : QDialog(&owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , main_(owner)
{
    setObjectName(QStringLiteral("SetupDlg"));
    setWindowTitle(QStringLiteral("Setup"));
    setFixedSize(383, 371);
    QFont formFont = QApplication::font();
    formFont.setPointSize(8);
    setFont(formFont);

    Bevel1 = Place(new QFrame(this), "Bevel1", 8, 8, 369, 161);
    Bevel1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    Label1 = Place(new QLabel(QStringLiteral("News Server"), this), "Label1", 16, 28, 78, 16);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Created in tab order.
    ServerEdit = Place(new QLineEdit(QStringLiteral("news"), this), "ServerEdit", 102, 24, 265, 24);
    Label1->setBuddy(ServerEdit);
    Label3 = Place(new QLabel(QLatin1String(HelpText), this), "Label3", 24, 66, 337, 65);
    Label3->setWordWrap(true);
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Bevel2 = Place(new QFrame(this), "Bevel2", 8, 177, 369, 147);
    Bevel2->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    UseTLSCheck = Place(new QCheckBox(QStringLiteral("Use TLS"), this), "UseTLSCheck", 102, 187, 265, 22);
    UseTLSCheck->setToolTip(QLatin1String(TLSHint));
    UserNameLabel = Place(new QLabel(QStringLiteral("User Name"), this), "UserNameLabel", 16, 218, 78, 16);
    UserNameEdit = Place(new QLineEdit(this), "UserNameEdit", 102, 214, 265, 24);
    UserNameEdit->setPlaceholderText(QStringLiteral("none: no login"));
    PasswordLabel = Place(new QLabel(QStringLiteral("Password"), this), "PasswordLabel", 16, 248, 78, 16);
    PasswordEdit = Place(new QLineEdit(this), "PasswordEdit", 102, 244, 265, 24);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    for (QLabel* label : { UserNameLabel, PasswordLabel })
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    UserNameLabel->setBuddy(UserNameEdit);
    PasswordLabel->setBuddy(PasswordEdit);
    PasswordNote = Place(new QLabel(this), "PasswordNote", 102, 272, 265, 46);
    PasswordNote->setWordWrap(true);
    PasswordNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetPasswordInSettingsFile(false);

    OKButton = Place(new QPushButton(QStringLiteral("OK"), this), "OKButton", 139, 335, 75, 27);
    CancelButton = Place(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton", 220, 335, 75, 27);
    btnGetGroup = Place(new QPushButton(QStringLiteral("Get Groups"), this), "btnGetGroup", 301, 335, 75, 27);
    // The server's fields first, then the buttons in their order.
    setTabOrder(ServerEdit, UseTLSCheck);
    setTabOrder(UseTLSCheck, UserNameEdit);
    setTabOrder(UserNameEdit, PasswordEdit);
    setTabOrder(PasswordEdit, OKButton);
    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, btnGetGroup);

    // No default button: Enter does nothing unless OK has the focus.
    for (QPushButton* button : { OKButton, CancelButton, btnGetGroup }) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    OKButton->installEventFilter(this);

    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &TSetupDlg::reject);
    connect(btnGetGroup, &QPushButton::clicked, this, &TSetupDlg::btnGetGroupClick);
    ServerEdit->setFocus();
}

void TSetupDlg::SetPasswordInSettingsFile(bool inSettingsFile)
{
    PasswordNote->setText(QLatin1String(inSettingsFile ? PasswordInFileText : PasswordInKeyringText));
}

bool TSetupDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == OKButton && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OKButton->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TSetupDlg::reject()
{
    if (fetching_) {
        main_.CancelButtonClick();
        return;
    }
    QDialog::reject();
}

void TSetupDlg::btnGetGroupClick()
{
    Guarded(this, [this] { GetGroups(); });
}

void TSetupDlg::GetGroups()
{
    TmsNNTP& client = *main_.msNNTP;
    const QString fileName = main_.DataFile();
    const auto commands = [&] {
        const TWaitCursor hourglass;
        fetching_ = true;
        struct TFetching {
            bool& flag;
            ~TFetching() { flag = false; }
        } fetching { fetching_ };
        // The server as typed, and how to reach it, at once, whatever the
        // dialog's later result.
        main_.TakeConnectionFields(*this);
        client.RetrieveNewsGroupList();

        TMemoryStream listText;
        client.NewsGroupList.SaveToStream(listText);
        listText.SetPosition(0);
        TStringList lines;
        lines.LoadFromStream(listText);
        KeepPictureGroups(lines);
        ReplaceFile(fileName, lines.Text());
        client.LoadNewsGroupList(fileName.toStdString());
    };
    main_.RunConnectingSequence(this, commands, [this] { btnGetGroupClick(); });
}

} // namespace lumigrab
