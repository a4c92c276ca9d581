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
#include <QSpinBox>

#include "base/classes.h"
#include "errorbox.h"
#include "message/placewidget.h"
#include "news/msnntp.h"

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
const char* const StartBeforeEndHint
    = "0 walks a group from its first article; a number N starts the first Go on a group N articles "
      "before its last, so that today's pictures come first";
const char* const ConnectionsHint
    = "How many connections to the server fetch pictures at once; news providers allow a few per "
      "account, and with 1 a single connection does everything";
const char* const CompressHeadersHint
    = "Headers cross the line compressed where the server offers it (COMPRESS DEFLATE, or XFEATURE "
      "COMPRESS GZIP): several times fewer bytes for each Go";
const char* const JoinMultiPartHint
    = "Pictures posted in several articles, \"(1/5)\" to \"(5/5)\", are joined once every part has "
      "arrived; off, such parts are passed over";

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

void GetPictureGroups(TmsNNTP& client, const QString& fileName)
{
    client.RetrieveNewsGroupList();
    TMemoryStream listText;
    client.NewsGroupList.SaveToStream(listText);
    listText.SetPosition(0);
    TStringList lines;
    lines.LoadFromStream(listText);
    KeepPictureGroups(lines);
    ReplaceFile(fileName, lines.Text());
    client.LoadNewsGroupList(fileName.toStdString());
}

TSetupDlg::TSetupDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("SetupDlg"));
    setWindowTitle(QStringLiteral("Setup"));
    setFixedSize(383, 477);
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

    Bevel2 = Place(new QFrame(this), "Bevel2", 8, 177, 369, 171);
    Bevel2->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    UseTLSCheck = Place(new QCheckBox(QStringLiteral("Use TLS"), this), "UseTLSCheck", 102, 187, 130, 22);
    UseTLSCheck->setToolTip(QLatin1String(TLSHint));
    ConnectionsLabel
        = Place(new QLabel(QStringLiteral("Connections"), this), "ConnectionsLabel", 232, 191, 74, 16);
    ConnectionsSpin = Place(new QSpinBox(this), "ConnectionsSpin", 312, 187, 55, 24);
    ConnectionsSpin->setRange(MinConnections, MaxConnections);
    ConnectionsSpin->setValue(DefaultConnections);
    ConnectionsSpin->setToolTip(QLatin1String(ConnectionsHint));
    ConnectionsLabel->setBuddy(ConnectionsSpin);
    UserNameLabel = Place(new QLabel(QStringLiteral("User Name"), this), "UserNameLabel", 16, 218, 78, 16);
    UserNameEdit = Place(new QLineEdit(this), "UserNameEdit", 102, 214, 265, 24);
    UserNameEdit->setPlaceholderText(QStringLiteral("none: no login"));
    PasswordLabel = Place(new QLabel(QStringLiteral("Password"), this), "PasswordLabel", 16, 248, 78, 16);
    PasswordEdit = Place(new QLineEdit(this), "PasswordEdit", 102, 244, 265, 24);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    for (QLabel* label : { ConnectionsLabel, UserNameLabel, PasswordLabel })
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    UserNameLabel->setBuddy(UserNameEdit);
    PasswordLabel->setBuddy(PasswordEdit);
    PasswordNote = Place(new QLabel(this), "PasswordNote", 102, 272, 265, 46);
    PasswordNote->setWordWrap(true);
    PasswordNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetPasswordInSettingsFile(false);
    CompressHeadersCheck = Place(new QCheckBox(QStringLiteral("Compress headers"), this), "CompressHeadersCheck",
        102, 320, 265, 22);
    CompressHeadersCheck->setToolTip(QLatin1String(CompressHeadersHint));

    Bevel3 = Place(new QFrame(this), "Bevel3", 8, 356, 369, 74);
    Bevel3->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    StartBeforeEndLabel
        = Place(new QLabel(QStringLiteral("Start new groups this many articles before their end"), this),
            "StartBeforeEndLabel", 16, 364, 250, 32);
    StartBeforeEndLabel->setWordWrap(true);
    StartBeforeEndLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StartBeforeEndSpin = Place(new QSpinBox(this), "StartBeforeEndSpin", 272, 368, 95, 24);
    StartBeforeEndSpin->setRange(0, MaxStartBeforeEnd);
    StartBeforeEndSpin->setToolTip(QLatin1String(StartBeforeEndHint));
    StartBeforeEndLabel->setBuddy(StartBeforeEndSpin);
    JoinMultiPartCheck = Place(
        new QCheckBox(QStringLiteral("Join multi-part posts"), this), "JoinMultiPartCheck", 16, 400, 351, 22);
    JoinMultiPartCheck->setToolTip(QLatin1String(JoinMultiPartHint));

    OKButton = Place(new QPushButton(QStringLiteral("OK"), this), "OKButton", 139, 441, 75, 27);
    CancelButton = Place(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton", 220, 441, 75, 27);
    btnGetGroup = Place(new QPushButton(QStringLiteral("Get Groups"), this), "btnGetGroup", 301, 441, 75, 27);
    // The server's fields first, then the buttons in their order.
    setTabOrder(ServerEdit, UseTLSCheck);
    setTabOrder(UseTLSCheck, ConnectionsSpin);
    setTabOrder(ConnectionsSpin, UserNameEdit);
    setTabOrder(UserNameEdit, PasswordEdit);
    setTabOrder(PasswordEdit, CompressHeadersCheck);
    setTabOrder(CompressHeadersCheck, StartBeforeEndSpin);
    setTabOrder(StartBeforeEndSpin, JoinMultiPartCheck);
    setTabOrder(JoinMultiPartCheck, OKButton);
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

void TSetupDlg::SetValues(const TSetupValues& values)
{
    given_ = values;
    const TServerSettings& server = values.Server;
    ServerEdit->setText(QString::fromStdString(server.Server));
    UseTLSCheck->setChecked(server.UseTLS);
    UserNameEdit->setText(QString::fromStdString(server.UserName));
    PasswordEdit->setText(QString::fromStdString(server.Password));
    ConnectionsSpin->setValue(server.Connections);
    CompressHeadersCheck->setChecked(server.CompressHeaders);
    StartBeforeEndSpin->setValue(values.Walk.StartBeforeEnd);
    JoinMultiPartCheck->setChecked(values.Walk.JoinMultiPartPosts);
}

TSetupValues TSetupDlg::Values() const
{
    TSetupValues values = given_;
    TServerSettings& server = values.Server;
    server.Server = ServerEdit->text().toStdString();
    server.UseTLS = UseTLSCheck->isChecked();
    server.UserName = UserNameEdit->text().trimmed().toStdString();
    server.Password = PasswordEdit->text().toStdString();
    server.Connections = ConnectionsSpin->value();
    server.CompressHeaders = CompressHeadersCheck->isChecked();
    values.Walk.StartBeforeEnd = StartBeforeEndSpin->value();
    values.Walk.JoinMultiPartPosts = JoinMultiPartCheck->isChecked();
    return values;
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
        if (OnStopGetGroups)
            OnStopGetGroups();
        return;
    }
    QDialog::reject();
}

void TSetupDlg::accept()
{
    // The values wait until Get Groups has ended.
    if (fetching_)
        return;
    // A number typed into a spin box counts though it still has the focus.
    StartBeforeEndSpin->interpretText();
    ConnectionsSpin->interpretText();
    bool taken = true;
    // What fails after the values were taken (ending the old connection)
    // is shown on the owner, as the dialog closes all the same.
    Guarded(parentWidget() ? parentWidget() : this, [&] {
        if (OnApply)
            taken = OnApply(Values());
    });
    if (taken)
        QDialog::accept();
}

void TSetupDlg::btnGetGroupClick()
{
    Guarded(this, [this] {
        if (!OnGetGroups)
            return;
        const TWaitCursor hourglass;
        fetching_ = true;
        struct TFetching {
            bool& flag;
            ~TFetching() { flag = false; }
        } fetching { fetching_ };
        StartBeforeEndSpin->interpretText();
        ConnectionsSpin->interpretText();
        OnGetGroups(Values());
    });
}

} // namespace lumigrab
