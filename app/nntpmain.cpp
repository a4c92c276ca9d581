#include "nntpmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPointer>
#include <QScopeGuard>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include "app/mainlayout.h"
#include "app/pictureset.h"
#include "app/trustquestion.h"
#include "app/vieweractions.h"
#include "base/classes.h"
#include "base/desktopentry.h"
#include "errorbox.h"
#include "glyphbutton.h"
#include "lumigrab_version.h"
#include "message/msmsg.h"
#include "msabout.h"
#include "news/fillservers.h"
#include "news/harvest.h"
#include "news/harvestrun.h"
#include "news/msnntp.h"
#include "news/nzbharvest.h"
#include "nntpsu.h"
#include "picturecounter.h"
#include "pictureview.h"
#include "thumbnailstrip.h"
#include "transferrate.h"

namespace lumigrab {

namespace {

const char* const WindowCaption = "Lumigrab - Image Browser";
const char* const PictureFolderName = "TEMP";
const char* const NewsGroupFileName = "Lumigrab.Dat";
const char* const BusyText = "Another command is in progress on this connection; press Stop first";
// Shown beside the progress of a first walk that faces a group of millions.
const char* const LongWalkHint
    = "Setup's \"Start new groups this many articles before their end\" makes the first walk shorter";
constexpr int SetupHeaderBatch = 5000;
constexpr int ClientTimeOut = 600;
// Header entries kept from a walk.
constexpr int KeptHeaders = 1000;
// What the desktop service gives when it could not open an address; it
// tells no reason, so the report carries the classic "no association"
// code.
constexpr int NoAssociationCode = 31;

QString FromBytes(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string ToBytes(const QString& text)
{
    return text.toStdString();
}

QString WithSeparator(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

QString FileNameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}

// The owner of the window's components.
class TFormComponents : public TComponent {
public:
    const char* ClassName() const override { return "TfrmMain"; }
};

bool OpenWithDesktop(const QUrl& address)
{
    return QDesktopServices::openUrl(address);
}

} // namespace

QString ProgramDataFolder(const QString& programFolder)
{
    const QDir folder(programFolder);
    bool installed = false;
    for (const std::string_view entry : InstalledDesktopEntries)
        installed = installed || QFileInfo::exists(folder.filePath(QLatin1String(entry)));
    if (!installed && QFileInfo(folder.absolutePath()).isWritable())
        return folder.absolutePath() + QLatin1Char('/');
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Lumigrab/");
}

// Marks the stretch in which a command sequence runs; the progress bar
// goes with it.
class TfrmMain::TSequence {
public:
    explicit TSequence(TfrmMain& form)
        : form_(form)
    {
        form_.sequenceRunning_ = true;
    }
    ~TSequence()
    {
        form_.sequenceRunning_ = false;
        form_.HideProgress();
    }
    TSequence(const TSequence&) = delete;
    TSequence& operator=(const TSequence&) = delete;

private:
    TfrmMain& form_;
};

template <typename Handler> void TfrmMain::Guarded(Handler&& handler) noexcept
{
    try {
        handler();
    } catch (...) {
        if (!closing_)
            ShowErrorBox(this, CurrentErrorText());
    }
}

TfrmMain::TfrmMain(QString dataFolder, QWidget* owner)
    : TRTForm(owner)
    , OpenUrl(OpenWithDesktop)
    , dataFolder_(WithSeparator(
          dataFolder.isEmpty() ? ProgramDataFolder(QCoreApplication::applicationDirPath()) : dataFolder))
    , components_(std::make_unique<TFormComponents>())
    , settings_(QLatin1String(SettingsKey))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QLatin1String(WindowCaption));
    resize(FirstStartSize());
    SetPosition(poScreenCenter);
    CreateComponents();
    layout_ = std::make_unique<TMainLayout>(*this, pictures_->Thumbnails());
    TakeLayout();
    BindControls();
    CreateShortcuts();
    BindClientEvents();
    BindRunEvents();
    BindPictureSet();
    BindViewer();
}

// Keep, Copy, turning, the slideshow and the information panel; the window
// tells it what only the window knows.
void TfrmMain::BindViewer()
{
    viewer_ = new TViewerActions(*layout_, *pictures_, this);
    viewer_->Status = [this](const QString& text) { SetStatusText(1, text); };
    viewer_->Settings = [this] { return settings_.Viewer; };
    viewer_->OpenUrl = [this](const QUrl& address) { return OpenUrl && OpenUrl(address); };
    viewer_->MoreComing = [this] { return CommandSequenceRunning(); };
    viewer_->Forward = [this] { sbNextClick(); };
}

TfrmMain::~TfrmMain()
{
    // The client reports its last steps (closing) through the events,
    // which must not reach a half-destroyed window.
    UnbindClientEvents();
    // The pool's last results go to the harvest, the harvest unhooks
    // itself from the client: each must still exist.
    run_.reset();
    harvest_.reset();
    components_->DestroyComponents();
}

void TfrmMain::CreateComponents()
{
    msNNTP = new TmsNNTP(components_.get());
    msNNTP->Name = "msNNTP";
    msNNTP->SetWinsockLoaded(true);
    msNNTP->Server = DefaultServer;
    msNNTP->Settings.Connections = DefaultConnections;
    msNNTP->TimeOut = ClientTimeOut;
    // Across the internet a header walk by HEAD and NEXT takes minutes.
    msNNTP->UseOverview = true;
    // A group of millions must not keep every header it walked: the
    // harvest needs the one at hand, the client its recent ones.
    msNNTP->HeaderList.SetRetention(KeptHeaders);
    msArticle1 = new TmsArticle(components_.get());
    msArticle1->Name = "msArticle1";
    msArticle1->SetContentType("text/plain");
    msNNTP->SetArticle(msArticle1);
    // Harvests from the first header on; the harvest joins it at FormCreate.
    run_ = std::make_unique<THarvestRun>(*msNNTP, nullptr);
    pictures_ = new TPictureSet(this);
}

void TfrmMain::TakeLayout()
{
    SetupButton = layout_->SetupButton;
    sbPrior = layout_->sbPrior;
    sbNext = layout_->sbNext;
    NGEdit = layout_->NGEdit;
    ScrollBox1 = layout_->ScrollBox1;
    Image1 = layout_->Image1;
    btnGo = layout_->btnGo;
    CancelButton = layout_->CancelButton;
    PicOfPic = layout_->PicOfPic;
    ProgressBar = layout_->ProgressBar;
    TransferRate = layout_->TransferRate;
}

void TfrmMain::BindControls()
{
    const TMainLayout& layout = *layout_;
    connect(layout.OpenNzb1, &QAction::triggered, this, [this] { OpenNzb1Click(); });
    connect(layout.Deletethispicture1, &QAction::triggered, this, [this] { Deletethispicture1Click(); });
    connect(layout.Exit1, &QAction::triggered, this, [this] { ExitButtonClick(); });
    connect(layout.TamberlyHomepage1, &QAction::triggered, this, [this] { TamberlyHomepage1Click(); });
    connect(layout.About1, &QAction::triggered, this, [this] { About1Click(); });
    connect(layout.Thumbnails1, &QAction::toggled, this, [this](bool shown) {
        layout_->ThumbnailStrip->setVisible(shown);
        FormResize();
    });

    connect(btnGo, &TGlyphButton::clicked, this, [this] { okClick(); });
    connect(CancelButton, &TGlyphButton::clicked, this, [this] { CancelButtonClick(); });
    connect(sbPrior, &TGlyphButton::clicked, this, [this] { sbPriorClick(); });
    connect(sbNext, &TGlyphButton::clicked, this, [this] { sbNextClick(); });
    connect(SetupButton, &TGlyphButton::clicked, this, [this] { SetupButtonClick(); });
    connect(NGEdit, &QComboBox::currentIndexChanged, this, [this] { NGEditChange(); });
    NGEdit->installEventFilter(this);
    connect(PicOfPic, &TPictureCounter::DropDown, this, [this] { PicOfPicDropDown(); });
    connect(PicOfPic, &TPictureCounter::Chosen, this, [this](int index) { PicOfPicChange(index); });
    connect(PicOfPic, &TPictureCounter::Typed, this, [this](const QString& text) { PicOfPicTyped(text); });

    ScrollBox1->viewport()->installEventFilter(this);
    connect(ScrollBox1, &TPicturePane::Clicked, this,
        [this](Qt::MouseButton button) { Image1MouseDown(button); });
    connect(layout.ThumbnailStrip, &TThumbnailStrip::PictureChosen, this,
        [this](int index) { PictureCommand([this, index] { pictures_->Choose(index); }); });
}

void TfrmMain::CreateShortcuts()
{
    struct Binding {
        QList<QKeySequence> keys;
        void (TfrmMain::*handler)();
    };
    const Binding bindings[] = {
        { { QKeySequence(Qt::CTRL | Qt::Key_G) }, &TfrmMain::okClick },
        { { QKeySequence(Qt::Key_Escape) }, &TfrmMain::EscapeKeyPress },
        { { QKeySequence(Qt::Key_Right), QKeySequence(Qt::Key_Space), QKeySequence(Qt::Key_PageDown) },
            &TfrmMain::sbNextClick },
        { { QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::Key_PageUp) },
            &TfrmMain::sbPriorClick },
        { { QKeySequence(Qt::Key_Home) }, &TfrmMain::ShowFirstPicture },
        { { QKeySequence(Qt::Key_End) }, &TfrmMain::ShowLastPicture },
        { { QKeySequence(Qt::Key_F11) }, &TfrmMain::ToggleFullScreen },
        { { QKeySequence(Qt::CTRL | Qt::Key_Z) }, &TfrmMain::UndoDelete },
    };
    for (const Binding& binding : bindings) {
        for (const QKeySequence& key : binding.keys) {
            auto* shortcut = new QShortcut(key, this);
            connect(shortcut, &QShortcut::activated, this, binding.handler);
        }
    }
    for (const QKeySequence& key : { QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal) })
        connect(new QShortcut(key, this), &QShortcut::activated, this,
            [this] { Image1MouseDown(Qt::LeftButton); });
    connect(new QShortcut(QKeySequence(Qt::Key_Minus), this), &QShortcut::activated, this,
        [this] { Image1MouseDown(Qt::RightButton); });
    for (const QKeySequence& key : { QKeySequence(Qt::Key_F), QKeySequence(Qt::CTRL | Qt::Key_0) })
        connect(new QShortcut(key, this), &QShortcut::activated, ScrollBox1, &TPicturePane::FitToPane);
    for (const QKeySequence& key : { QKeySequence(Qt::Key_1), QKeySequence(Qt::CTRL | Qt::Key_1) })
        connect(new QShortcut(key, this), &QShortcut::activated, ScrollBox1, &TPicturePane::ShowActualSize);
}

void TfrmMain::BindClientEvents()
{
    msNNTP->OnOpen = [this](TObject*) {
        SetStatusText(1, QStringLiteral("Opening connection"));
        // Read at each connect, for the server being opened, whoever set it.
        msNNTP->TrustedFingerprint = ToBytes(settings_.TrustedCertificate(FromBytes(msNNTP->Server)));
    };
    msNNTP->OnClosed = [this](TObject*) {
        HideProgress();
        SetStatusText(1, QStringLiteral("Connection closed"));
    };
    msNNTP->OnCancel = [this](TObject*) { SetStatusText(1, QStringLiteral("Oparation has been canceled")); };
    msNNTP->OnError = [this](TObject*, std::string& message) {
        HideProgress();
        SetStatusText(1, FromBytes(message));
    };
    msNNTP->OnGroupSelected = [this](TObject*) {
        SetStatusText(0, QStringLiteral("Total articles: %1").arg(msNNTP->ArticleCount()));
    };
    msNNTP->OnArticleRetrieved = [this](TObject*) {
        TransferRate->ArticleDone();
        HideProgress();
        SetStatusText(1, QStringLiteral("Article retrieved"));
    };
    msNNTP->OnProgress = [this](TObject*, int percent) {
        TransferRate->ArticleProgress(percent);
        ShowProgress(percent);
        SetStatusText(1, QStringLiteral("%1% retrieved").arg(percent));
    };
    msNNTP->OnPosting = [this](TObject*) { SetStatusText(1, QStringLiteral("Posting the article...")); };
    msNNTP->OnPosted
        = [this](TObject*) { SetStatusText(1, QStringLiteral("Article has been successfully posted")); };
}

void TfrmMain::BindRunEvents()
{
    run_->OnHeaderWalked = [this](int, const TmsNgInfoItem&, int64_t expectedBytes) {
        SetStatusText(1, FromBytes(run_->Progress().Text(TWalkProgress::TClock::now(), LongWalkHint)));
        TransferRate->ArticleStarted(expectedBytes);
    };
    run_->OnLastHeader = [this] { SetStatusText(1, QStringLiteral("Last available header retrieved")); };
    run_->OnArticleArrived = [this](int64_t bytes) { TransferRate->ArticleArrived(bytes); };
    run_->OnPoolLowered = [this](const std::string& report) {
        SetStatusText(1, FromBytes(report));
        // The status panel changes with every header; this stays in view.
        TransferRate->SetNote(FromBytes(report));
    };
    run_->OnPoolError = [this](const std::string& message) { SetStatusText(1, FromBytes(message)); };
}

void TfrmMain::UnbindClientEvents()
{
    msNNTP->OnOpen = nullptr;
    msNNTP->OnClosed = nullptr;
    msNNTP->OnCancel = nullptr;
    msNNTP->OnError = nullptr;
    msNNTP->OnGroupSelected = nullptr;
    msNNTP->OnArticleRetrieved = nullptr;
    msNNTP->OnProgress = nullptr;
    msNNTP->OnPosting = nullptr;
    msNNTP->OnPosted = nullptr;
}

void TfrmMain::BindHarvestEvents()
{
    harvest_->OnSubject = [this](const std::string& subject) { SetStatusText(2, FromBytes(subject)); };
    harvest_->OnPictureKept = [this](const std::string& path) {
        TransferRate->PictureKept();
        AddPicture(QFile::decodeName(path.c_str()));
    };
    harvest_->OnPictureDamaged = [this](const std::string& path, const std::string& damage) {
        SetStatusText(1,
            QStringLiteral("Damaged picture %1: %2")
                .arg(FileNameOf(QFile::decodeName(path.c_str())), FromBytes(damage)));
    };
    harvest_->OnArticleSkipped
        = [this](const std::string&, const std::string& reason) { ReportSkippedArticle(FromBytes(reason)); };
    harvest_->OnPostIncomplete = [this](const std::string& report) { SetStatusText(1, FromBytes(report)); };
}

QString TfrmMain::StatusText(int panel) const
{
    return layout_->StatusText(panel);
}

void TfrmMain::SetStatusText(int panel, const QString& text)
{
    layout_->SetStatusText(panel, text);
}

void TfrmMain::ShowProgress(int percent)
{
    layout_->ShowProgress(percent);
}

void TfrmMain::HideProgress()
{
    layout_->HideProgress();
}

// ---- Start-up and shut-down ----------------------------------------------------

void TfrmMain::FormCreate()
{
    // An .nzb dropped anywhere on the window.
    setAcceptDrops(true);
    SetSaveSize(true);
    SetSavePosition(true);
    SetRegKey(QLatin1String(SettingsKey));
    NGEdit->setCurrentIndex(1);
    tempFolder_ = dataFolder_ + QLatin1String(PictureFolderName) + QLatin1Char('/');
    dataFile_ = dataFolder_ + QLatin1String(NewsGroupFileName);
    pictures_->SetFolder(tempFolder_);
    // Each step reports its own failure and the start goes on: a missing
    // picture folder must not keep the settings from being read (they are
    // written back at close).
    Guarded([this] {
        harvest_ = std::make_unique<THarvest>(*msNNTP, std::string(QFile::encodeName(tempFolder_)));
        run_->SetHarvest(harvest_.get());
        BindHarvestEvents();
        if (!QDir().mkpath(tempFolder_))
            throw Exception("Unable to create directory " + ToBytes(tempFolder_));
        ScanTempFolder();
    });
    Guarded([this] {
        settings_.Read(msNNTP->Settings);
        ApplyWalkSettings();
        if (msNNTP->Server.empty())
            msNNTP->Server = DefaultServer;
        settings_.ReadPassword(msNNTP->Settings);
        if (QFileInfo::exists(dataFile_))
            LoadNewsGroupFile();
    });
    ScrollBox1->setFocus();
}

void TfrmMain::LoadNewsGroupFile()
{
    TStringList lines;
    lines.LoadFromFile(ToBytes(dataFile_));
    NGEdit->clear();
    for (const std::string& line : lines)
        NGEdit->addItem(FromBytes(line));
    NGEdit->setCurrentIndex(0);
    msNNTP->LoadNewsGroupList(ToBytes(dataFile_));
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    if (!closing_)
        FormClose();
    event->accept();
}

void TfrmMain::FormClose()
{
    closing_ = true;
    Guarded([this] {
        run_->Stop();
        if (fill_)
            fill_->Cancel();
        msNNTP->Disconnect();
        settings_.Write(msNNTP->Settings);
    });
}

void TfrmMain::ExitButtonClick()
{
    Guarded([this] { close(); });
}

void TfrmMain::resizeEvent(QResizeEvent* event)
{
    TRTForm::resizeEvent(event);
    FormResize();
}

void TfrmMain::FormResize()
{
    Guarded([this] { layout_->Arrange(); });
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ScrollBox1->viewport() && event->type() == QEvent::Resize)
        layout_->CentreEmptyHint();
    if (watched == NGEdit) {
        if (event->type() == QEvent::FocusOut) {
            NGEditExit();
        } else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                okClick();
                return true;
            }
        }
    }
    return TRTForm::eventFilter(watched, event);
}

// ---- Commands ------------------------------------------------------------------

bool TfrmMain::RunCommandSequence(const std::function<void()>& commands)
{
    if (sequenceRunning_) {
        SetStatusText(1, QLatin1String(BusyText));
        return false;
    }
    const TSequence sequence(*this);
    commands();
    return true;
}

bool TfrmMain::RunConnectingSequence(
    QWidget* asker, const std::function<void()>& commands, std::function<void()> again)
{
    try {
        return RunCommandSequence(commands);
    } catch (const EUntrustedCertificateError& refusal) {
        // The status bar has the refusal already; the question replaces the
        // error box.
        AskToTrust(asker, refusal, std::move(again));
        return true;
    }
}

void TfrmMain::AskToTrust(
    QWidget* asker, const EUntrustedCertificateError& refusal, std::function<void()> again)
{
    const QString server = FromBytes(msNNTP->Server);
    lumigrab::AskToTrust(
        asker, this, server, refusal, [this, asker, server, again](const QString& fingerprint) {
            settings_.TrustCertificate(server, fingerprint);
            // Not from inside the box's click: the command waits in a nested
            // event loop, which would delete the box under its own handler.
            if (again)
                QTimer::singleShot(0, asker, [this, again] { Guarded([&] { again(); }); });
        });
}

void TfrmMain::ApplyWalkSettings()
{
    msNNTP->StartBeforeEnd = settings_.Walk.StartBeforeEnd;
    if (harvest_)
        harvest_->JoinParts = settings_.Walk.JoinMultiPartPosts;
}

TSetupValues TfrmMain::SetupValues() const
{
    const std::string group = ToBytes(NGEdit->currentText().trimmed());
    return { msNNTP->Settings, settings_.Walk, group, settings_.FilterOf(group), settings_.FillServers,
        settings_.Viewer };
}

bool TfrmMain::ApplySetup(const TSetupValues& values)
{
    if (SameConnection(values.Server, msNNTP->Settings)) {
        TakeSetup(values);
        return true;
    }
    // Ending the connection waits for the server's farewell.
    return RunCommandSequence([&] { TakeSetup(values); });
}

// The client reads its settings at each connect; an open connection went
// to the old server, and the selected group's article numbers belong to it
// too.
void TfrmMain::TakeSetup(const TSetupValues& values)
{
    settings_.Walk = values.Walk;
    settings_.FillServers = values.FillServers;
    settings_.Viewer = values.Viewer;
    if (!values.Group.empty())
        settings_.Filters[values.Group] = values.Filter;
    ApplyWalkSettings();
    const bool sameConnection = SameConnection(values.Server, msNNTP->Settings);
    if (values.Server.Password != msNNTP->Password)
        settings_.PasswordChanged();
    // Looked up for the server as each connection opens; the dialog's copy
    // may be older.
    const std::string trusted = msNNTP->TrustedFingerprint;
    msNNTP->Settings = values.Server;
    msNNTP->TrustedFingerprint = trusted;
    if (sameConnection)
        return;
    msNNTP->HeaderList.Clear();
    msNNTP->ForgetNewsGroup();
    msNNTP->Disconnect();
}

void TfrmMain::GetGroups(TSetupDlg& dialog, const TSetupValues& values)
{
    const QPointer<TSetupDlg> asker(&dialog);
    RunConnectingSequence(
        &dialog,
        [&] {
            TakeSetup(values);
            GetPictureGroups(*msNNTP, dataFile_);
        },
        [asker] {
            if (asker)
                asker->btnGetGroupClick();
        });
}

void TfrmMain::okClick()
{
    Guarded([this] {
        RunConnectingSequence(
            this, [this] { Go(); }, [this] { okClick(); });
    });
}

void TfrmMain::OpenNzb1Click()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open NZB"), QString(), QStringLiteral("NZB files (*.nzb);;All files (*)"));
    if (!path.isEmpty())
        OpenNzb(path);
}

void TfrmMain::OpenNzb(const QString& path)
{
    Guarded([this, path] {
        RunConnectingSequence(
            this, [this, path] { FetchNzb(path); }, [this, path] { OpenNzb(path); });
    });
}

// Read whole before anything is sent; the harvest's events show what
// comes, as a Go's do.
void TfrmMain::FetchNzb(const QString& path)
{
    const std::vector<TNzbFile> files = ReadNzbFile(std::string(QFile::encodeName(path)));
    if (!harvest_)
        return;
    TNzbHarvest nzb(*msNNTP, *harvest_);
    nzb.OnNotAPicture = [this](const std::string& name) {
        SetStatusText(1, QStringLiteral("Not a picture, passed over: %1").arg(FromBytes(name)));
    };
    const std::shared_ptr<void> fill = OpenFillServers();
    TransferRate->Begin();
    const auto end = qScopeGuard([this] { TransferRate->End(); });
    nzb.Fetch(files);
    SetStatusText(1, QStringLiteral("NZB fetched: %1").arg(FileNameOf(path)));
}

namespace {

// The first local .nzb file among the dragged URLs; empty for none.
QString DroppedNzb(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return {};
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && url.toLocalFile().endsWith(QLatin1String(".nzb"), Qt::CaseInsensitive))
            return url.toLocalFile();
    }
    return {};
}

} // namespace

void TfrmMain::dragEnterEvent(QDragEnterEvent* event)
{
    if (!DroppedNzb(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event)
{
    const QString path = DroppedNzb(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    // Not from inside the drop: the fetch waits in nested event loops.
    QTimer::singleShot(0, this, [this, path] { OpenNzb(path); });
}

void TfrmMain::Go()
{
    const std::string group = ToBytes(NGEdit->currentText());
    // A pattern the settings file spoils is refused before anything is
    // sent.
    if (harvest_)
        harvest_->Filter = THeaderFilter(settings_.FilterOf(ToBytes(NGEdit->currentText().trimmed())));
    const std::shared_ptr<void> fill = OpenFillServers();
    TransferRate->Begin();
    const auto end = qScopeGuard([this] {
        TransferRate->End();
        if (harvest_ && harvest_->Filter.LeftOut() > 0)
            SetStatusText(2, FromBytes(harvest_->Filter.LeftOutText()));
    });
    run_->Go(group, { headerBatch_ });
}

std::shared_ptr<void> TfrmMain::OpenFillServers()
{
    std::vector<TServerSettings> servers = settings_.FillServers;
    if (servers.empty() || !harvest_)
        return {};
    for (TServerSettings& server : servers)
        server.TrustedFingerprint = ToBytes(settings_.TrustedCertificate(FromBytes(server.Server)));
    fill_ = std::make_unique<TFillServers>(std::move(servers), msNNTP->TimeOut);
    fill_->OnServerLost = [this](const std::string& report) { SetStatusText(1, FromBytes(report)); };
    harvest_->SetFillServers(fill_.get());
    return std::shared_ptr<void>(nullptr, [this](void*) {
        if (harvest_)
            harvest_->SetFillServers(nullptr);
        fill_.reset();
    });
}

void TfrmMain::CancelButtonClick()
{
    Guarded([this] {
        run_->Stop();
        if (fill_)
            fill_->Cancel();
    });
}

void TfrmMain::SetupButtonClick()
{
    Guarded([this] {
        auto* dialog = new TSetupDlg(this);
        dialog->SetValues(SetupValues());
        dialog->SetPasswordInSettingsFile(settings_.PasswordInSettingsFile());
        dialog->OnApply = [this](const TSetupValues& values) { return ApplySetup(values); };
        dialog->OnGetGroups = [this, dialog](const TSetupValues& values) { GetGroups(*dialog, values); };
        dialog->OnStopGetGroups = [this] { CancelButtonClick(); };
        headerBatch_ = SetupHeaderBatch;
        connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
        dialog->open();
    });
}

void TfrmMain::NGEditChange()
{
    Guarded([this] { msNNTP->HeaderList.Clear(); });
}

void TfrmMain::NGEditExit()
{
    Guarded([this] { msNNTP->HeaderList.Clear(); });
}

void TfrmMain::About1Click()
{
    Guarded([this] {
        auto* about = new TAboutDlg(this);
        about->setAttribute(Qt::WA_DeleteOnClose);
        about->open();
    });
}

void TfrmMain::TamberlyHomepage1Click()
{
    Guarded([this] {
        if (!OpenUrl(QUrl(QLatin1String(version::HomePage))))
            throw Exception("Unable to run ShellExec. Error code=" + std::to_string(NoAssociationCode));
    });
}

void TfrmMain::ReportSkippedArticle(const QString& reason)
{
    SetStatusText(1, QStringLiteral("Article skipped: %1").arg(reason));
}

// ---- The picture set -----------------------------------------------------------

const QStringList& TfrmMain::Pictures() const
{
    return pictures_->Pictures();
}

int TfrmMain::PictureIndex() const
{
    return pictures_->Index();
}

bool TfrmMain::ScanningTempFolder() const
{
    return pictures_->Listing();
}

void TfrmMain::BindPictureSet()
{
    connect(pictures_, &TPictureSet::Shown, this, &TfrmMain::PictureShown);
    connect(pictures_, &TPictureSet::Changed, this, &TfrmMain::UpdatePicOfPic);
    connect(pictures_, &TPictureSet::Report, this, [this](const QString& text) { SetStatusText(1, text); });
    connect(pictures_, &TPictureSet::Failed, this,
        [this](const std::exception_ptr& error) { Guarded([&] { std::rethrow_exception(error); }); });
}

template <typename Command> void TfrmMain::PictureCommand(Command&& command) noexcept
{
    Guarded([&] {
        sbPrior->setEnabled(false);
        sbNext->setEnabled(false);
        const auto enable = qScopeGuard([this] {
            sbPrior->setEnabled(true);
            sbNext->setEnabled(true);
        });
        command();
    });
}

void TfrmMain::PictureShown(const QImage& picture, const QString& path)
{
    ScrollBox1->SetPicture(picture);
    if (picture.isNull() && !path.isEmpty()) {
        // Too large to show, but a picture all the same: it stays in the
        // folder and the set.
        const QString text = QStringLiteral("%1 is too large to show").arg(FileNameOf(path));
        ScrollBox1->SetNotice(text);
        SetStatusText(1, text);
    }
    viewer_->PictureShown(picture, path);
}

void TfrmMain::ShowPicture()
{
    pictures_->Show();
}

void TfrmMain::UpdatePicOfPic()
{
    const QStringList& pictures = pictures_->Pictures();
    PicOfPic->SetCounterText(QStringLiteral("%1 of %2").arg(pictures_->ShownNumber()).arg(pictures.size()));
    layout_->ThumbnailStrip->Mark(pictures_->Index());
    layout_->EmptyHint->setVisible(pictures.isEmpty());
}

void TfrmMain::sbPriorClick()
{
    PictureCommand([this] { pictures_->Back(); });
}

void TfrmMain::sbNextClick()
{
    PictureCommand([this] { pictures_->Forward(); });
}

void TfrmMain::ShowFirstPicture()
{
    PictureCommand([this] { pictures_->First(); });
}

void TfrmMain::ShowLastPicture()
{
    PictureCommand([this] { pictures_->Last(); });
}

void TfrmMain::PicOfPicDropDown()
{
    Guarded([this] {
        QStringList numbers;
        numbers.reserve(pictures_->Pictures().size());
        for (int number = 1; number <= pictures_->Pictures().size(); ++number)
            numbers.append(QString::number(number));
        PicOfPic->clear();
        PicOfPic->addItems(numbers);
    });
}

void TfrmMain::PicOfPicChange(int itemIndex)
{
    PictureCommand([this, itemIndex] { pictures_->Choose(itemIndex); });
}

void TfrmMain::PicOfPicTyped(const QString& text)
{
    PictureCommand([this, &text] {
        bool isNumber = false;
        const int number = text.trimmed().toInt(&isNumber);
        // Anything but a picture's number shows nothing new.
        pictures_->ChooseNumber(isNumber ? number : 0);
    });
}

void TfrmMain::Image1MouseDown(Qt::MouseButton button)
{
    Guarded([this, button] { ScrollBox1->Zoom(button == Qt::RightButton ? -1 : 1); });
}

void TfrmMain::ToggleFullScreen()
{
    Guarded([this] { setWindowState(windowState() ^ Qt::WindowFullScreen); });
}

void TfrmMain::EscapeKeyPress()
{
    if (windowState() & Qt::WindowFullScreen)
        ToggleFullScreen();
    else
        CancelButtonClick();
}

void TfrmMain::Deletethispicture1Click()
{
    PictureCommand([this] { pictures_->DeleteCurrent(); });
}

void TfrmMain::UndoDelete()
{
    PictureCommand([this] { pictures_->RestoreLast(); });
}

void TfrmMain::ScanTempFolder()
{
    pictures_->StartListing();
}

void TfrmMain::AddPicture(const QString& path)
{
    pictures_->Add(path);
}

} // namespace lumigrab
