#include "nntpmain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>

#include "app/passwordstore.h"
#include "app/pictureset.h"
#include "base/classes.h"
#include "builtingroups.h"
#include "errorbox.h"
#include "glyphbutton.h"
#include "lumigrab_version.h"
#include "message/msmsg.h"
#include "msabout.h"
#include "news/fetchpool.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "nntpsu.h"
#include "picturecounter.h"
#include "pictureview.h"
#include "thumbnailstrip.h"
#include "toolglyphs.h"
#include "transferrate.h"

namespace lumigrab {

namespace {

const char* const WindowCaption = "Lumigrab - Image Browser";
const char* const DefaultServer = "news";
const char* const PictureFolderName = "TEMP";
const char* const NewsGroupFileName = "Lumigrab.Dat";
const char* const BusyText = "Another command is in progress on this connection; press Stop first";
const char* const TrustedCertificatesGroup = "Trusted Certificates";
constexpr int SetupHeaderBatch = 5000;
constexpr int ClientTimeOut = 600;
// Header entries kept from a walk.
constexpr int KeptHeaders = 1000;
// What the desktop service gives when it could not open an address; it
// tells no reason, so the report carries the classic "no association"
// code.
constexpr int NoAssociationCode = 31;

// The tool row, in pixels.
constexpr int ToolRowHeight = 73;
constexpr int BevelHeight = 9;
constexpr int ToolButtonTop = 14;
constexpr int ToolButtonSide = 45;
constexpr int GroupListLeft = 240;
constexpr int GroupListWidth = 260;
constexpr int CounterWidth = 68;

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

// A status-bar panel of a fixed width, or stretching over the rest of the
// bar from a least width; text that does not fit ends in an ellipsis and
// shows whole as a tool tip.
class TStatusPanel : public QLabel {
public:
    enum class Width { Fixed, Least };
    // Whether a line parts the panel from the one on its left.
    enum class Edge { Plain, Separated };

    TStatusPanel(const QString& text, int width, Width kind, Edge edge, QWidget* parent)
        : QLabel(parent)
        , separated_(edge == Edge::Separated)
    {
        if (kind == Width::Fixed) {
            setFixedWidth(width);
        } else {
            // Long texts must not push the window wider.
            setMinimumWidth(width);
            setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        }
        // Server replies and subjects are strangers' text: never markup.
        setTextFormat(Qt::PlainText);
        setText(text);
    }

    void setText(const QString& text)
    {
        QLabel::setText(text);
        // A tool tip that looks like markup is shown as markup: this one
        // is always given as markup, of the text escaped.
        setToolTip(text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpacePre));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QRect area = contentsRect().adjusted(6, 0, -4, 0);
        if (separated_) {
            painter.setPen(palette().color(QPalette::Mid));
            painter.drawLine(0, 3, 0, height() - 4);
        }
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
            fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
    }

private:
    bool separated_;
};

TGlyphButton* MakeToolButton(
    QWidget* parent, const char* name, const QString& caption, TGlyph glyph, int left, const QString& hint)
{
    auto* button = new TGlyphButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(caption);
    button->setIcon(GlyphIcon(glyph));
    button->setToolTip(hint);
    button->setGeometry(left, ToolButtonTop, ToolButtonSide, ToolButtonSide);
    return button;
}

// Host names are not case-sensitive; a trusted certificate belongs to the
// server whatever the case it is typed in.
QString ServerKey(const QString& server)
{
    return server.trimmed().toLower();
}

// A Boolean setting as a person or another program may have written it:
// true/false, yes/no, on/off or a number; anything else gives fallback.
bool ReadBoolSetting(const QSettings& settings, const QString& name, bool fallback)
{
    const QString text = settings.value(name).toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("on"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("off"))
        return false;
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber ? number != 0 : fallback;
}

// "AB:CD:..." in lines of sixteen bytes, so that it fits a message box.
QString FingerprintLines(const QString& fingerprint)
{
    QStringList lines;
    const QStringList bytes = fingerprint.split(QLatin1Char(':'));
    for (qsizetype at = 0; at < bytes.size(); at += 16)
        lines.append(bytes.mid(at, 16).join(QLatin1Char(':')));
    return lines.join(QLatin1Char('\n'));
}

bool OpenWithDesktop(const QUrl& address)
{
    return QDesktopServices::openUrl(address);
}

} // namespace

QString ProgramDataFolder(const QString& programFolder)
{
    const QDir folder(programFolder);
    const bool installed
        = QFileInfo::exists(folder.filePath(QStringLiteral("../share/applications/lumigrab.desktop")));
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

namespace {

// Until the window has been sized once (then its saved size counts),
// pictures get two thirds of the screen rather than a small box.
QSize FirstStartSize()
{
    const QSize smallest(544, 456);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return smallest;
    return smallest.expandedTo(screen->availableSize() * 2 / 3);
}

} // namespace

TfrmMain::TfrmMain(QString dataFolder, QWidget* owner)
    : TRTForm(owner)
    , OpenUrl(OpenWithDesktop)
    , dataFolder_(WithSeparator(
          dataFolder.isEmpty() ? ProgramDataFolder(QCoreApplication::applicationDirPath()) : dataFolder))
    , components_(std::make_unique<TFormComponents>())
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QLatin1String(WindowCaption));
    resize(FirstStartSize());
    SetPosition(poScreenCenter);
    CreateComponents();
    CreateMenu();
    CreateToolRow();
    CreatePicturePane();
    CreateStatusBar();
    CreateShortcuts();
    BindClientEvents();
    BindPictureSet();
}

TfrmMain::~TfrmMain()
{
    // The client reports its last steps (closing) through the events,
    // which must not reach a half-destroyed window.
    UnbindClientEvents();
    // The pool's last results go to the harvest, the harvest unhooks
    // itself from the client: each must still exist.
    EndPool();
    harvest_.reset();
    components_->DestroyComponents();
}

void TfrmMain::CreateComponents()
{
    msNNTP = new TmsNNTP(components_.get());
    msNNTP->Name = "msNNTP";
    msNNTP->SetWinsockLoaded(true);
    msNNTP->Server = DefaultServer;
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
    pictures_ = new TPictureSet(this);
}

void TfrmMain::CreateMenu()
{
    MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    File1 = MainMenu1->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    Deletethispicture1 = File1->addAction(QStringLiteral("Delete this picture"));
    Deletethispicture1->setObjectName(QStringLiteral("Deletethispicture1"));
    Deletethispicture1->setShortcuts({ QKeySequence(Qt::CTRL | Qt::Key_D), QKeySequence(Qt::Key_Delete) });
    N1 = File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("E&xit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    Help1 = MainMenu1->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    TamberlyHomepage1 = Help1->addAction(QStringLiteral("&Homepage..."));
    TamberlyHomepage1->setObjectName(QStringLiteral("TamberlyHomepage1"));
    N2 = Help1->addSeparator();
    About1 = Help1->addAction(QStringLiteral("&About"));
    About1->setObjectName(QStringLiteral("About1"));

    connect(Deletethispicture1, &QAction::triggered, this, [this] { Deletethispicture1Click(); });
    connect(Exit1, &QAction::triggered, this, [this] { ExitButtonClick(); });
    connect(TamberlyHomepage1, &QAction::triggered, this, [this] { TamberlyHomepage1Click(); });
    connect(About1, &QAction::triggered, this, [this] { About1Click(); });
}

void TfrmMain::CreateToolRow()
{
    auto* central = new QWidget(this);
    setCentralWidget(central);
    Panel1 = new QFrame(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::NoFrame);
    Panel1->setGeometry(0, 0, width(), ToolRowHeight);

    Bevel1 = new QFrame(Panel1);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::NoFrame);
    Bevel1->setStyleSheet(QStringLiteral("#Bevel1 { border-top: 1px solid palette(mid); }"));
    Bevel1->setGeometry(0, 0, width(), BevelHeight);

    btnGo = MakeToolButton(Panel1, "btnGo", QStringLiteral("Go"), TGlyph::Go, 5,
        QStringLiteral("Fetch the pictures of the selected group (Ctrl+G)"));
    CancelButton = MakeToolButton(
        Panel1, "CancelButton", QStringLiteral("Stop"), TGlyph::Stop, 50, QStringLiteral("Stop (Esc)"));
    sbPrior = MakeToolButton(
        Panel1, "sbPrior", QStringLiteral("Back"), TGlyph::Back, 95, QStringLiteral("Previous Picture"));
    sbNext = MakeToolButton(
        Panel1, "sbNext", QStringLiteral("Forward"), TGlyph::Forward, 140, QStringLiteral("Next Picture"));
    SetupButton = MakeToolButton(
        Panel1, "SetupButton", QStringLiteral("Setup"), TGlyph::Setup, 185, QStringLiteral("Setup"));

    NGEdit = new QComboBox(Panel1);
    NGEdit->setObjectName(QStringLiteral("NGEdit"));
    NGEdit->addItems(BuiltInNewsGroups());
    NGEdit->setMaxVisibleItems(20);
    NGEdit->setGeometry(GroupListLeft, ToolButtonTop + 1, GroupListWidth, NGEdit->sizeHint().height());
    NGEdit->installEventFilter(this);

    Label1 = new QLabel(QStringLiteral("Now Viewing:"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    PicOfPic = new TPictureCounter(Panel1);
    PicOfPic->setObjectName(QStringLiteral("PicOfPic"));
    const int counterTop = ToolButtonTop + ToolButtonSide - PicOfPic->sizeHint().height() + 1;
    Label1->adjustSize();
    Label1->move(GroupListLeft, counterTop + (PicOfPic->sizeHint().height() - Label1->height()) / 2);
    PicOfPic->setGeometry(
        GroupListLeft + Label1->width() + 6, counterTop, CounterWidth, PicOfPic->sizeHint().height());
    PicOfPic->SetCounterText(QStringLiteral("0 of 0"));

    connect(btnGo, &TGlyphButton::clicked, this, [this] { okClick(); });
    connect(CancelButton, &TGlyphButton::clicked, this, [this] { CancelButtonClick(); });
    connect(sbPrior, &TGlyphButton::clicked, this, [this] { sbPriorClick(); });
    connect(sbNext, &TGlyphButton::clicked, this, [this] { sbNextClick(); });
    connect(SetupButton, &TGlyphButton::clicked, this, [this] { SetupButtonClick(); });
    connect(NGEdit, &QComboBox::currentIndexChanged, this, [this] { NGEditChange(); });
    connect(PicOfPic, &TPictureCounter::DropDown, this, [this] { PicOfPicDropDown(); });
    connect(PicOfPic, &TPictureCounter::Chosen, this, [this](int index) { PicOfPicChange(index); });
    connect(PicOfPic, &TPictureCounter::Typed, this, [this](const QString& text) { PicOfPicTyped(text); });
}

void TfrmMain::CreatePicturePane()
{
    ScrollBox1 = new TPicturePane(centralWidget());
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    // A neutral dark backdrop: pictures stand out whatever their colours.
    QWidget* viewport = ScrollBox1->viewport();
    QPalette backdrop = viewport->palette();
    backdrop.setColor(QPalette::Window, QColor(0x2b, 0x2d, 0x31));
    viewport->setPalette(backdrop);
    viewport->setBackgroundRole(QPalette::Window);
    viewport->setAutoFillBackground(true);
    Image1 = ScrollBox1->View();
    Image1->setObjectName(QStringLiteral("Image1"));
    ScrollBox1->setFocusPolicy(Qt::StrongFocus);
    emptyHint_ = new QLabel(QStringLiteral("No pictures yet: pick a newsgroup and press Go"), viewport);
    emptyHint_->setObjectName(QStringLiteral("EmptyHint"));
    emptyHint_->setStyleSheet(QStringLiteral("color: #9aa0a8;"));
    emptyHint_->adjustSize();
    viewport->installEventFilter(this);
    connect(ScrollBox1, &TPicturePane::Clicked, this,
        [this](Qt::MouseButton button) { Image1MouseDown(button); });
    CreateThumbnailStrip();
}

void TfrmMain::CreateThumbnailStrip()
{
    ThumbnailStrip = new TThumbnailStrip(centralWidget());
    ThumbnailStrip->SetThumbnails(pictures_->Thumbnails());
    connect(ThumbnailStrip, &TThumbnailStrip::PictureChosen, this,
        [this](int index) { PictureCommand([this, index] { pictures_->Choose(index); }); });
    View1 = new QMenu(QStringLiteral("&View"), MainMenu1);
    View1->setObjectName(QStringLiteral("View1"));
    MainMenu1->insertMenu(Help1->menuAction(), View1);
    Thumbnails1 = View1->addAction(QStringLiteral("&Thumbnails"));
    Thumbnails1->setObjectName(QStringLiteral("Thumbnails1"));
    Thumbnails1->setCheckable(true);
    Thumbnails1->setChecked(true);
    Thumbnails1->setShortcut(QKeySequence(Qt::Key_T));
    connect(Thumbnails1, &QAction::toggled, this, [this](bool shown) {
        ThumbnailStrip->setVisible(shown);
        FormResize();
    });
}

void TfrmMain::CreateStatusBar()
{
    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    using Width = TStatusPanel::Width;
    using Edge = TStatusPanel::Edge;
    statusPanels_[0]
        = new TStatusPanel(QStringLiteral("Total Articles: "), 120, Width::Fixed, Edge::Plain, StatusBar1);
    statusPanels_[1] = new TStatusPanel(
        QStringLiteral("Current Status: Not Connected"), 200, Width::Fixed, Edge::Separated, StatusBar1);
    statusPanels_[2]
        = new TStatusPanel(QStringLiteral("None"), 50, Width::Least, Edge::Separated, StatusBar1);
    StatusBar1->addWidget(statusPanels_[0]);
    StatusBar1->addWidget(statusPanels_[1]);
    StatusBar1->addWidget(statusPanels_[2], 1);
    TransferRate = new TTransferRateLabel(StatusBar1);
    StatusBar1->addPermanentWidget(TransferRate);
    ProgressBar = new QProgressBar(StatusBar1);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);
    ProgressBar->setFixedSize(96, 12);
    StatusBar1->addPermanentWidget(ProgressBar);
    ProgressBar->hide();
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
        msNNTP->TrustedFingerprint = ToBytes(TrustedCertificate(FromBytes(msNNTP->Server)));
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
    msNNTP->OnNextHeaderRetrieved = [this](TObject*, int num) {
        SetStatusText(1, QStringLiteral("%1 headers retrieved").arg(num + 1));
        const TmsNgInfoItem& header = msNNTP->HeaderList.Entries(num);
        TransferRate->ArticleStarted(
            ExpectedArticleBytes(header.GetFieldValue("Bytes"), header.GetFieldValue("Lines")));
        HarvestWalkedHeader(header);
    };
    msNNTP->OnLastHeaderRetrieved = [this](TObject*) {
        // The group's end is told once the pool's articles are in too.
        if (harvest_)
            harvest_->FinishPool();
        SetStatusText(1, QStringLiteral("Last available header retrieved"));
        // No missing part can follow at the group's end.
        if (harvest_)
            harvest_->ReportIncompletePosts();
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

void TfrmMain::HarvestWalkedHeader(const TmsNgInfoItem& header)
{
    if (!harvest_)
        return;
    const bool toPool = pool_ && pool_->Accepting();
    const qint64 bytes = ExpectedArticleBytes(header.GetFieldValue("Bytes"), header.GetFieldValue("Lines"));
    if (toPool && IsMultiPartSubject(WholeSubject(header)))
        partBytes_[header.Number] = bytes;
    if (harvest_->HarvestHeader(header) && toPool)
        pooledArticles_[header.Number] = { bytes, lastWalked_ };
    lastWalked_ = header.Number;
}

void TfrmMain::UnbindClientEvents()
{
    msNNTP->OnOpen = nullptr;
    msNNTP->OnClosed = nullptr;
    msNNTP->OnCancel = nullptr;
    msNNTP->OnError = nullptr;
    msNNTP->OnGroupSelected = nullptr;
    msNNTP->OnNextHeaderRetrieved = nullptr;
    msNNTP->OnLastHeaderRetrieved = nullptr;
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
    return statusPanels_[panel]->text();
}

void TfrmMain::SetStatusText(int panel, const QString& text)
{
    static_cast<TStatusPanel*>(statusPanels_[panel])->setText(text);
}

void TfrmMain::ShowProgress(int percent)
{
    ProgressBar->setValue(qBound(0, percent, 100));
    ProgressBar->show();
}

void TfrmMain::HideProgress()
{
    ProgressBar->hide();
}

// ---- Start-up and shut-down ----------------------------------------------------

void TfrmMain::FormCreate()
{
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
        BindHarvestEvents();
        if (!QDir().mkpath(tempFolder_))
            throw Exception("Unable to create directory " + ToBytes(tempFolder_));
        ScanTempFolder();
    });
    Guarded([this] {
        ReadSettings();
        if (msNNTP->Server.empty())
            msNNTP->Server = DefaultServer;
        ReadPassword();
        if (QFileInfo::exists(dataFile_))
            LoadNewsGroupFile();
    });
    ScrollBox1->setFocus();
}

void TfrmMain::ReadSettings()
{
    const std::unique_ptr<QSettings> settings = OpenRegKey(QLatin1String(SettingsKey));
    const QVariant server = settings->value(QStringLiteral("Server"));
    // A value that is not a plain text (a list, a typed value) is as good
    // as unreadable.
    if (!server.isValid())
        msNNTP->Server.clear();
    else if (server.typeId() == QMetaType::QString)
        msNNTP->Server = ToBytes(server.toString());
    else
        msNNTP->Server = DefaultServer;
    eMailAddress_ = settings->value(QStringLiteral("EMail Address")).toString();
    userName_ = settings->value(QStringLiteral("Name")).toString();
    msNNTP->LogFileName = ToBytes(settings->value(QStringLiteral("Log File")).toString());
    msNNTP->UseTLS = ReadBoolSetting(*settings, QStringLiteral("Use TLS"), false);
    msNNTP->UserName = ToBytes(settings->value(QStringLiteral("User Name")).toString());
    walk_ = ReadWalkSettings(*settings);
    ApplyWalkSettings();
    settings->beginGroup(QLatin1String(TrustedCertificatesGroup));
    for (const QString& server : settings->childKeys())
        trustedCertificates_.insert(ServerKey(server), settings->value(server).toString().trimmed());
    settings->endGroup();
}

// Only an account has a password; asking a keyring without one could
// bring up an unlock prompt for nothing.
void TfrmMain::ReadPassword()
{
    if (msNNTP->UserName.empty())
        return;
    const std::unique_ptr<QSettings> settings = OpenRegKey(QLatin1String(SettingsKey));
    TPasswordStore store(*settings);
    msNNTP->Password = store.Read(msNNTP->Server, msNNTP->UserName);
    passwordKey_ = { msNNTP->Server, msNNTP->UserName };
    keyringRuns_ = store.KeyringAnswered();
}

void TfrmMain::WriteSettings()
{
    const std::unique_ptr<QSettings> settings = OpenRegKey(QLatin1String(SettingsKey));
    settings->setValue(QStringLiteral("Server"), FromBytes(msNNTP->Server));
    settings->setValue(QStringLiteral("EMail Address"), eMailAddress_);
    settings->setValue(QStringLiteral("Name"), userName_);
    settings->setValue(QStringLiteral("Log File"), FromBytes(msNNTP->LogFileName));
    settings->setValue(QStringLiteral("Use TLS"), msNNTP->UseTLS);
    settings->setValue(QStringLiteral("User Name"), FromBytes(msNNTP->UserName));
    WriteWalkSettings(*settings, walk_);
    settings->remove(QLatin1String(TrustedCertificatesGroup));
    settings->beginGroup(QLatin1String(TrustedCertificatesGroup));
    for (auto trusted = trustedCertificates_.cbegin(); trusted != trustedCertificates_.cend(); ++trusted)
        settings->setValue(trusted.key(), trusted.value());
    settings->endGroup();
    settings->sync();
    WritePassword(*settings);
    if (settings->status() != QSettings::NoError)
        qWarning("lumigrab: the settings could not be written to %s", qPrintable(settings->fileName()));
}

// Through the store, and only when there is something new to keep: the
// keyring may ask the user to unlock it.
void TfrmMain::WritePassword(QSettings& settings)
{
    if (msNNTP->UserName.empty())
        return;
    const std::pair<std::string, std::string> key { msNNTP->Server, msNNTP->UserName };
    if (!passwordChanged_ && key == passwordKey_)
        return;
    TPasswordStore store(settings);
    store.Write(key.first, key.second, msNNTP->Password);
    passwordKey_ = key;
    passwordChanged_ = false;
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
        if (pool_)
            pool_->Stop();
        msNNTP->Cancel();
        msNNTP->Disconnect();
        WriteSettings();
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
    Guarded([this] {
        const int clientWidth = centralWidget()->width();
        Panel1->resize(clientWidth, ToolRowHeight);
        Bevel1->resize(clientWidth, BevelHeight);
        const int paneHeight = qMax(0, centralWidget()->height() - ToolRowHeight);
        const int stripHeight
            = ThumbnailStrip->isVisibleTo(this) ? qMin(ThumbnailStrip->height(), paneHeight) : 0;
        ScrollBox1->setGeometry(0, ToolRowHeight, clientWidth, paneHeight - stripHeight);
        ThumbnailStrip->setGeometry(0, ToolRowHeight + paneHeight - stripHeight, clientWidth, stripHeight);
    });
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ScrollBox1->viewport() && event->type() == QEvent::Resize) {
        const QSize room = ScrollBox1->viewport()->size() - emptyHint_->size();
        emptyHint_->move(qMax(0, room.width() / 2), qMax(0, room.height() / 2));
    }
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
    const QString fingerprint = FromBytes(refusal.Fingerprint());
    auto* question = new QMessageBox(QMessageBox::Warning, QStringLiteral("Certificate"),
        QStringLiteral("Trust this certificate for this server?"), QMessageBox::Yes | QMessageBox::No, asker);
    question->setObjectName(QStringLiteral("TrustQuestion"));
    // The reason and the server's name are no markup.
    question->setTextFormat(Qt::PlainText);
    const QString details
        = QStringLiteral("Server: %1\nThe certificate was refused: %2.\n\nSHA-256 fingerprint:\n%3\n\n"
                         "Trust it only if your news provider gives the same fingerprint.")
              .arg(server, FromBytes(refusal.Reason()), FingerprintLines(fingerprint));
    question->setInformativeText(details);
    // The box keeps its informative text in a label of its own, which
    // takes no format from the box.
    if (auto* label = question->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    else
        question->setInformativeText(Qt::convertFromPlainText(details));
    question->setDefaultButton(QMessageBox::No);
    question->setEscapeButton(QMessageBox::No);
    question->setAttribute(Qt::WA_DeleteOnClose);
    // Not modal in an event loop of its own: the question may come up while
    // other handlers run nested in a wait.
    connect(question, &QMessageBox::finished, this, [this, asker, question, server, fingerprint, again] {
        if (question->clickedButton() != question->button(QMessageBox::Yes))
            return;
        TrustCertificate(server, fingerprint);
        // Not from inside the box's click: the command waits in a nested
        // event loop, which would delete the box under its own handler.
        if (again)
            QTimer::singleShot(0, asker, [this, again] { Guarded([&] { again(); }); });
    });
    question->open();
}

QString TfrmMain::TrustedCertificate(const QString& server) const
{
    return trustedCertificates_.value(ServerKey(server));
}

void TfrmMain::TrustCertificate(const QString& server, const QString& fingerprint)
{
    trustedCertificates_.insert(ServerKey(server), fingerprint);
}

void TfrmMain::ApplyWalkSettings()
{
    msNNTP->StartBeforeEnd = walk_.StartBeforeEnd;
    if (harvest_)
        harvest_->JoinParts = walk_.JoinMultiPartPosts;
}

TSetupValues TfrmMain::SetupValues() const
{
    TSetupValues values;
    values.Connection = { msNNTP->Server, msNNTP->UseTLS, msNNTP->UserName, msNNTP->Password };
    values.Walk = walk_;
    return values;
}

bool TfrmMain::ApplySetup(const TSetupValues& values)
{
    if (values.Connection == SetupValues().Connection) {
        TakeSetup(values);
        return true;
    }
    // Ending the connection waits for the server's farewell.
    return RunCommandSequence([&] { TakeSetup(values); });
}

// The client reads the connection's fields at each connect; an open
// connection went to the old server, and the selected group's article
// numbers belong to it too.
void TfrmMain::TakeSetup(const TSetupValues& values)
{
    walk_ = values.Walk;
    ApplyWalkSettings();
    const TConnectionSettings& connection = values.Connection;
    if (connection == SetupValues().Connection)
        return;
    msNNTP->Server = connection.Server;
    msNNTP->UseTLS = connection.UseTLS;
    msNNTP->UserName = connection.UserName;
    if (connection.Password != msNNTP->Password) {
        msNNTP->Password = connection.Password;
        passwordChanged_ = true;
    }
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

bool TfrmMain::PasswordInSettingsFile()
{
    if (!keyringRuns_) {
        const std::unique_ptr<QSettings> settings = OpenRegKey(QLatin1String(SettingsKey));
        keyringRuns_ = TPasswordStore(*settings).ProbeKeyring();
    }
    return !*keyringRuns_;
}

void TfrmMain::okClick()
{
    Guarded([this] {
        RunConnectingSequence(
            this, [this] { Go(); }, [this] { okClick(); });
    });
}

void TfrmMain::Go()
{
    TransferRate->Begin();
    try {
        msNNTP->SetNewsGroup(ToBytes(NGEdit->currentText()));
        StartPool();
        msNNTP->RetrieveHeaders(headerBatch_, true);
        // A batch that ends before the group does leaves articles on their
        // way.
        if (harvest_)
            harvest_->FinishPool();
    } catch (...) {
        EndPool();
        WalkAgainAfterUnfinished();
        TransferRate->End();
        throw;
    }
    EndPool();
    TransferRate->End();
}

// Started once the group is selected: the pooled connections select it too,
// and reach the server as msNNTP does, its trusted certificate included.
void TfrmMain::StartPool()
{
    const int further = walk_.Connections - 1;
    if (further < 1 || !harvest_)
        return;
    TFetchSettings settings = TFetchSettings::From(*msNNTP);
    settings.loggedBefore = pooledLogs_;
    pool_ = std::make_unique<TFetchPool>(std::move(settings), further);
    pooledArticles_.clear();
    partBytes_.clear();
    lastWalked_ = msNNTP->LastHeaderNumber();
    pool_->OnPoolLowered = [this](const std::string& report) {
        SetStatusText(1, FromBytes(report));
        // The status panel changes with every header; this stays in view.
        TransferRate->SetNote(FromBytes(report));
    };
    pool_->OnError = [this](const std::string& message) { SetStatusText(1, FromBytes(message)); };
    pool_->OnArticleDone = [this](const TFetchOrder& order) {
        if (const auto article = pooledArticles_.extract(order.number))
            TransferRate->ArticleArrived(article.mapped().bytes);
        else if (const auto part = partBytes_.extract(order.number))
            TransferRate->ArticleArrived(part.mapped());
    };
    harvest_->SetPool(pool_.get());
}

// The pooled connections are cancelled, not asked to QUIT: one in the
// middle of an article (after Stop), still waiting for its greeting or for
// the answer to QUIT would hold the window until it gives up.
void TfrmMain::EndPool()
{
    if (!pool_)
        return;
    pool_->Stop();
    if (harvest_)
        harvest_->SetPool(nullptr);
    if (pool_->Started())
        pooledLogs_ = std::max(pooledLogs_, pool_->Size() + 1);
    pool_.reset();
}

// The earliest article the pool did not bring decides where the next Go
// goes on.
void TfrmMain::WalkAgainAfterUnfinished()
{
    const auto earliest = std::min_element(pooledArticles_.begin(), pooledArticles_.end(),
        [](const auto& one, const auto& other) { return one.first < other.first; });
    if (earliest != pooledArticles_.end())
        msNNTP->WalkAgainAfter(earliest->second.after);
}

void TfrmMain::CancelButtonClick()
{
    Guarded([this] {
        if (pool_)
            pool_->Stop();
        msNNTP->Cancel();
    });
}

void TfrmMain::SetupButtonClick()
{
    Guarded([this] {
        auto* dialog = new TSetupDlg(this);
        dialog->SetValues(SetupValues());
        dialog->SetPasswordInSettingsFile(PasswordInSettingsFile());
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
}

void TfrmMain::ShowPicture()
{
    pictures_->Show();
}

void TfrmMain::UpdatePicOfPic()
{
    const QStringList& pictures = pictures_->Pictures();
    PicOfPic->SetCounterText(QStringLiteral("%1 of %2").arg(pictures_->ShownNumber()).arg(pictures.size()));
    ThumbnailStrip->Mark(pictures_->Index());
    emptyHint_->setVisible(pictures.isEmpty());
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
