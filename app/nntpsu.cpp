#include "nntpsu.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QSpinBox>

#include "base/classes.h"
#include "errorbox.h"
#include "fillserverlist.h"
#include "keepfolder.h"
#include "slideshow.h"
#include "message/placewidget.h"
#include "news/articlenumber.h"
#include "news/headerfilter.h"
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

const char* const FilterHint
    = "Regular expressions, found anywhere and regardless of case; what they leave out is never "
      "fetched. Empty takes all";
const char* const KeepFolderHint = "Where Keep a copy (Ctrl+S) puts the picture on show; empty: the folder shown";
const char* const SizesHint
    = "Bytes, as the headers tell them; a post of several parts counts the sum of its parts. Empty: "
      "no bound";

std::string SizeText(int64_t bytes)
{
    return bytes > 0 ? std::to_string(bytes) : std::string();
}

// Blank for no bound; the validator lets only digits in.
int64_t SizeOf(const QLineEdit& edit)
{
    const std::optional<TArticleNumber> bytes = ParseArticleNumber(edit.text().trimmed().toStdString());
    return bytes ? int64_t(std::min<uint64_t>(*bytes, INT64_MAX)) : 0;
}

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
    setFixedSize(762, 635);
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

    PlaceFilterControls();
    FillServers = Place(new TFillServerList(this), "FillServerList", 385, 8, 369, 420);
    PlaceViewerControls();

    OKButton = Place(new QPushButton(QStringLiteral("OK"), this), "OKButton", 139, 599, 75, 27);
    CancelButton = Place(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton", 220, 599, 75, 27);
    btnGetGroup = Place(new QPushButton(QStringLiteral("Get Groups"), this), "btnGetGroup", 301, 599, 75, 27);
    // The server's fields first, then the buttons in their order.
    setTabOrder(ServerEdit, UseTLSCheck);
    setTabOrder(UseTLSCheck, ConnectionsSpin);
    setTabOrder(ConnectionsSpin, UserNameEdit);
    setTabOrder(UserNameEdit, PasswordEdit);
    setTabOrder(PasswordEdit, CompressHeadersCheck);
    setTabOrder(CompressHeadersCheck, StartBeforeEndSpin);
    setTabOrder(StartBeforeEndSpin, JoinMultiPartCheck);
    setTabOrder(JoinMultiPartCheck, TakeSubjectsEdit);
    setTabOrder(TakeSubjectsEdit, SkipSubjectsEdit);
    setTabOrder(SkipSubjectsEdit, SkipPostersEdit);
    setTabOrder(SkipPostersEdit, MinBytesEdit);
    setTabOrder(MinBytesEdit, MaxBytesEdit);
    setTabOrder(MaxBytesEdit, FillServers->FirstControl());
    setTabOrder(FillServers->LastControl(), KeepFolderEdit);
    setTabOrder(KeepFolderEdit, KeepFolderButton);
    setTabOrder(KeepFolderButton, SlideshowSecondsSpin);
    setTabOrder(SlideshowSecondsSpin, OKButton);
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

// The selected group's filters, below how a Go walks.
void TSetupDlg::PlaceFilterControls()
{
    Bevel4 = Place(new QFrame(this), "Bevel4", 8, 438, 369, 152);
    Bevel4->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    FiltersLabel = Place(new QLabel(this), "FiltersLabel", 16, 444, 351, 18);
    const auto row = [this](const char* text, const char* name, int top) {
        QLabel* label = Place(new QLabel(QLatin1String(text), this), name, 16, top + 4, 96, 16);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return label;
    };
    const auto patternEdit = [this](QLabel* label, const char* name, int top) {
        QLineEdit* edit = Place(new QLineEdit(this), name, 118, top, 249, 24);
        edit->setToolTip(QLatin1String(FilterHint));
        label->setBuddy(edit);
        return edit;
    };
    TakeSubjectsEdit = patternEdit(row(TakeSubjectsSetting, "TakeSubjectsLabel", 466), "TakeSubjectsEdit", 466);
    SkipSubjectsEdit = patternEdit(row(SkipSubjectsSetting, "SkipSubjectsLabel", 496), "SkipSubjectsEdit", 496);
    SkipPostersEdit = patternEdit(row(SkipPostersSetting, "SkipPostersLabel", 526), "SkipPostersEdit", 526);
    QLabel* sizes = row("Sizes in bytes", "SizesLabel", 556);
    MinBytesEdit = Place(new QLineEdit(this), "MinBytesEdit", 118, 556, 110, 24);
    Place(new QLabel(QStringLiteral("to"), this), "SizesToLabel", 232, 560, 20, 16)
        ->setAlignment(Qt::AlignCenter);
    MaxBytesEdit = Place(new QLineEdit(this), "MaxBytesEdit", 257, 556, 110, 24);
    sizes->setBuddy(MinBytesEdit);
    for (QLineEdit* edit : { MinBytesEdit, MaxBytesEdit }) {
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,18}")), edit));
        edit->setPlaceholderText(QStringLiteral("no bound"));
        edit->setToolTip(QLatin1String(SizesHint));
    }
}

// Where Keep puts pictures and how the slideshow moves, below the fill
// servers.
void TSetupDlg::PlaceViewerControls()
{
    Bevel5 = Place(new QFrame(this), "Bevel5", 385, 436, 369, 154);
    Bevel5->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* keepLabel = Place(new QLabel(QLatin1String(KeepFolderSetting), this), "KeepFolderLabel", 393, 446, 200, 16);
    KeepFolderEdit = Place(new QLineEdit(this), "KeepFolderEdit", 393, 466, 270, 24);
    KeepFolderEdit->setPlaceholderText(DefaultKeepFolder());
    KeepFolderEdit->setToolTip(QLatin1String(KeepFolderHint));
    keepLabel->setBuddy(KeepFolderEdit);
    KeepFolderButton = Place(new QPushButton(QStringLiteral("Browse..."), this), "KeepFolderButton", 669, 465, 77, 27);
    KeepFolderButton->setAutoDefault(false);
    connect(KeepFolderButton, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, QLatin1String(KeepFolderSetting),
            KeepFolderEdit->text().isEmpty() ? DefaultKeepFolder() : KeepFolderEdit->text());
        if (!chosen.isEmpty())
            KeepFolderEdit->setText(chosen);
    });
    auto* slideshowLabel = Place(
        new QLabel(QLatin1String(SlideshowSecondsSetting), this), "SlideshowSecondsLabel", 393, 508, 200, 16);
    SlideshowSecondsSpin = Place(new QSpinBox(this), "SlideshowSecondsSpin", 669, 504, 77, 24);
    SlideshowSecondsSpin->setRange(MinSlideshowSeconds, MaxSlideshowSeconds);
    SlideshowSecondsSpin->setValue(DefaultSlideshowSeconds);
    slideshowLabel->setBuddy(SlideshowSecondsSpin);
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
    const bool group = !values.Group.empty();
    FiltersLabel->setText(group ? QStringLiteral("Filters for %1").arg(QString::fromStdString(values.Group))
                                : QStringLiteral("Filters: choose a group first"));
    for (QLineEdit* edit : { TakeSubjectsEdit, SkipSubjectsEdit, SkipPostersEdit, MinBytesEdit, MaxBytesEdit })
        edit->setEnabled(group);
    TakeSubjectsEdit->setText(QString::fromStdString(values.Filter.TakeSubjects));
    SkipSubjectsEdit->setText(QString::fromStdString(values.Filter.SkipSubjects));
    SkipPostersEdit->setText(QString::fromStdString(values.Filter.SkipPosters));
    MinBytesEdit->setText(QString::fromStdString(SizeText(values.Filter.MinBytes)));
    MaxBytesEdit->setText(QString::fromStdString(SizeText(values.Filter.MaxBytes)));
    FillServers->SetServers(values.FillServers);
    KeepFolderEdit->setText(QString::fromStdString(values.Viewer.KeepFolder));
    SlideshowSecondsSpin->setValue(values.Viewer.SlideshowSeconds);
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
    values.Filter.TakeSubjects = TakeSubjectsEdit->text().toStdString();
    values.Filter.SkipSubjects = SkipSubjectsEdit->text().toStdString();
    values.Filter.SkipPosters = SkipPostersEdit->text().toStdString();
    values.Filter.MinBytes = SizeOf(*MinBytesEdit);
    values.Filter.MaxBytes = SizeOf(*MaxBytesEdit);
    values.FillServers = FillServers->Servers();
    values.Viewer.KeepFolder = KeepFolderEdit->text().trimmed().toStdString();
    values.Viewer.SlideshowSeconds = SlideshowSecondsSpin->value();
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
    SlideshowSecondsSpin->interpretText();
    // A filter that cannot be used is refused with the reason; the dialog
    // stays open to mend it.
    bool usable = false;
    Guarded(this, [&] {
        THeaderFilter { Values().Filter };
        usable = true;
    });
    if (!usable)
        return;
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
