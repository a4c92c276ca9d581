#include "mainlayout.h"

#include <QAction>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>
#include <QTextDocument>

#include "builtingroups.h"
#include "glyphbutton.h"
#include "picturecounter.h"
#include "pictureinfo.h"
#include "picturepane.h"
#include "pictureview.h"
#include "thumbnailstrip.h"
#include "toolglyphs.h"
#include "transferrate.h"

namespace lumigrab {

namespace {

// The tool row, in pixels.
constexpr int ToolRowHeight = 73;
constexpr int BevelHeight = 9;
constexpr int ToolButtonTop = 14;
constexpr int ToolButtonSide = 45;
constexpr int GroupListLeft = 240;
constexpr int GroupListWidth = 260;
constexpr int CounterWidth = 68;

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

} // namespace

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

QSize FirstStartSize()
{
    const QSize smallest(544, 456);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return smallest;
    return smallest.expandedTo(screen->availableSize() * 2 / 3);
}

TMainLayout::TMainLayout(QMainWindow& window, TThumbnailModel* thumbnails)
    : window_(window)
{
    CreateMenu();
    CreateToolRow();
    CreatePicturePane(thumbnails);
    CreateStatusBar();
}

void TMainLayout::CreateMenu()
{
    MainMenu1 = window_.menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    File1 = MainMenu1->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    OpenNzb1 = File1->addAction(QStringLiteral("&Open NZB..."));
    OpenNzb1->setObjectName(QStringLiteral("OpenNzb1"));
    OpenNzb1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    KeepCopy1 = File1->addAction(QStringLiteral("&Keep a copy"));
    KeepCopy1->setObjectName(QStringLiteral("KeepCopy1"));
    KeepCopy1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    ShowInFolder1 = File1->addAction(QStringLiteral("&Show in folder"));
    ShowInFolder1->setObjectName(QStringLiteral("ShowInFolder1"));
    Deletethispicture1 = File1->addAction(QStringLiteral("Delete this picture"));
    Deletethispicture1->setObjectName(QStringLiteral("Deletethispicture1"));
    Deletethispicture1->setShortcuts({ QKeySequence(Qt::CTRL | Qt::Key_D), QKeySequence(Qt::Key_Delete) });
    N1 = File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("E&xit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    Edit1 = MainMenu1->addMenu(QStringLiteral("&Edit"));
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Copy1 = Edit1->addAction(QStringLiteral("&Copy"));
    Copy1->setObjectName(QStringLiteral("Copy1"));
    Copy1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    Help1 = MainMenu1->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    TamberlyHomepage1 = Help1->addAction(QStringLiteral("&Homepage..."));
    TamberlyHomepage1->setObjectName(QStringLiteral("TamberlyHomepage1"));
    N2 = Help1->addSeparator();
    About1 = Help1->addAction(QStringLiteral("&About"));
    About1->setObjectName(QStringLiteral("About1"));
}

void TMainLayout::CreateToolRow()
{
    auto* central = new QWidget(&window_);
    window_.setCentralWidget(central);
    Panel1 = new QFrame(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::NoFrame);
    Panel1->setGeometry(0, 0, window_.width(), ToolRowHeight);

    Bevel1 = new QFrame(Panel1);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::NoFrame);
    Bevel1->setStyleSheet(QStringLiteral("#Bevel1 { border-top: 1px solid palette(mid); }"));
    Bevel1->setGeometry(0, 0, window_.width(), BevelHeight);

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
}

void TMainLayout::CreatePicturePane(TThumbnailModel* thumbnails)
{
    ScrollBox1 = new TPicturePane(window_.centralWidget());
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
    EmptyHint = new QLabel(QStringLiteral("No pictures yet: pick a newsgroup and press Go"), viewport);
    EmptyHint->setObjectName(QStringLiteral("EmptyHint"));
    EmptyHint->setStyleSheet(QStringLiteral("color: #9aa0a8;"));
    EmptyHint->adjustSize();

    ThumbnailStrip = new TThumbnailStrip(window_.centralWidget());
    ThumbnailStrip->SetThumbnails(thumbnails);
    View1 = new QMenu(QStringLiteral("&View"), MainMenu1);
    View1->setObjectName(QStringLiteral("View1"));
    MainMenu1->insertMenu(Help1->menuAction(), View1);
    Thumbnails1 = View1->addAction(QStringLiteral("&Thumbnails"));
    Thumbnails1->setObjectName(QStringLiteral("Thumbnails1"));
    Thumbnails1->setCheckable(true);
    Thumbnails1->setChecked(true);
    Thumbnails1->setShortcut(QKeySequence(Qt::Key_T));
    const auto viewAction = [this](const char* text, const char* name, QKeySequence key) {
        QAction* action = View1->addAction(QLatin1String(text));
        action->setObjectName(QLatin1String(name));
        action->setShortcut(key);
        return action;
    };
    View1->addSeparator();
    TurnRight1 = viewAction("Turn &clockwise", "TurnRight1", QKeySequence(Qt::Key_R));
    TurnLeft1 = viewAction("Turn &anticlockwise", "TurnLeft1", QKeySequence(Qt::SHIFT | Qt::Key_R));
    Slideshow1 = viewAction("&Slideshow", "Slideshow1", QKeySequence(Qt::Key_F5));
    PictureInfo1 = viewAction("Picture &information", "PictureInfo1", QKeySequence(Qt::Key_I));
    PictureInfo1->setCheckable(true);

    PictureInfo = new TPictureInfoPanel(window_.centralWidget());
    PictureInfo->hide();
}

void TMainLayout::CreateStatusBar()
{
    StatusBar1 = window_.statusBar();
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

QString TMainLayout::StatusText(int panel) const
{
    return statusPanels_[panel]->text();
}

void TMainLayout::SetStatusText(int panel, const QString& text)
{
    statusPanels_[panel]->setText(text);
}

void TMainLayout::ShowProgress(int percent)
{
    ProgressBar->setValue(qBound(0, percent, 100));
    ProgressBar->show();
}

void TMainLayout::HideProgress()
{
    ProgressBar->hide();
}

void TMainLayout::Arrange()
{
    const QWidget* central = window_.centralWidget();
    const int clientWidth = central->width();
    Panel1->resize(clientWidth, ToolRowHeight);
    Bevel1->resize(clientWidth, BevelHeight);
    const int paneHeight = qMax(0, central->height() - ToolRowHeight);
    const int stripHeight
        = ThumbnailStrip->isVisibleTo(&window_) ? qMin(ThumbnailStrip->height(), paneHeight) : 0;
    const int infoWidth
        = PictureInfo->isVisibleTo(&window_) ? qMin(int(TPictureInfoPanel::PanelWidth), clientWidth / 2) : 0;
    ScrollBox1->setGeometry(0, ToolRowHeight, clientWidth - infoWidth, paneHeight - stripHeight);
    PictureInfo->setGeometry(clientWidth - infoWidth, ToolRowHeight, infoWidth, paneHeight - stripHeight);
    ThumbnailStrip->setGeometry(0, ToolRowHeight + paneHeight - stripHeight, clientWidth, stripHeight);
}

void TMainLayout::CentreEmptyHint()
{
    const QSize room = ScrollBox1->viewport()->size() - EmptyHint->size();
    EmptyHint->move(qMax(0, room.width() / 2), qMax(0, room.height() / 2));
}

} // namespace lumigrab
