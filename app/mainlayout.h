// The main window's widgets and where they sit: the menu, the tool row
// (Go, Stop, Back, Forward, Setup, the group list and the picture counter),
// the picture pane with its thumbnail strip, and the status bar with its
// three text panels, the transfer speed and the progress bar.
//
// The layout builds and places widgets and nothing more: it connects no
// signal and knows no handler, so the window (app/nntpmain.h) decides what
// each control does. Every widget belongs to the window it was built into
// and keeps the object name the tests and the settings find it by.
#pragma once

#include <QSize>
#include <QString>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMainWindow;
class QMenu;
class QMenuBar;
class QProgressBar;
class QStatusBar;

namespace lumigrab {

class TGlyphButton;
class TPictureCounter;
class TPictureInfoPanel;
class TPicturePane;
class TPictureView;
class TStatusPanel;
class TThumbnailModel;
class TThumbnailStrip;
class TTransferRateLabel;

// Until the window has been sized once (then its saved size counts),
// pictures get two thirds of the primary screen rather than a small box.
QSize FirstStartSize();

class TMainLayout {
public:
    // Builds the menu, the tool row, the picture pane (its strip showing
    // thumbnails) and the status bar into window, in that order, each
    // sized to the window as it is now.
    TMainLayout(QMainWindow& window, TThumbnailModel* thumbnails);
    TMainLayout(const TMainLayout&) = delete;
    TMainLayout& operator=(const TMainLayout&) = delete;

    // The menu.
    QMenuBar* MainMenu1;
    QMenu* File1;
    // Fetches the pictures an NZB file names.
    QAction* OpenNzb1;
    // The picture on show: a copy into the keep folder (Ctrl+S), and its
    // folder in the desktop's file manager.
    QAction* KeepCopy1;
    QAction* ShowInFolder1;
    QAction* Deletethispicture1;
    QAction* N1;
    QAction* Exit1;
    // Between File and Help; its Thumbnails (T) is checked while the strip
    // shows.
    QMenu* View1;
    QAction* Thumbnails1;
    // R and Shift+R, F5, and I (checked while the panel shows).
    QAction* TurnRight1;
    QAction* TurnLeft1;
    QAction* Slideshow1;
    QAction* PictureInfo1;
    // Between File and View: Copy (Ctrl+C).
    QMenu* Edit1;
    QAction* Copy1;
    QMenu* Help1;
    QAction* TamberlyHomepage1;
    QAction* N2;
    QAction* About1;

    // The tool row along the top.
    QFrame* Panel1;
    QFrame* Bevel1;
    TGlyphButton* btnGo;
    TGlyphButton* CancelButton;
    TGlyphButton* sbPrior;
    TGlyphButton* sbNext;
    TGlyphButton* SetupButton;
    QComboBox* NGEdit;
    QLabel* Label1;
    TPictureCounter* PicOfPic;

    // The picture pane below it, the strip along the pane's bottom.
    TPicturePane* ScrollBox1;
    TPictureView* Image1;
    // Over the empty pane.
    QLabel* EmptyHint;
    TThumbnailStrip* ThumbnailStrip;
    // Beside the pane, on the right, while View, Picture information is on.
    TPictureInfoPanel* PictureInfo;

    // The status bar.
    QStatusBar* StatusBar1;
    TTransferRateLabel* TransferRate;
    QProgressBar* ProgressBar;

    // Status panels: 0 the article count, 1 the current status, 2 the
    // subject. Texts are plain text, never markup; one too long for its
    // panel ends in an ellipsis and shows whole as the tool tip.
    QString StatusText(int panel) const;
    void SetStatusText(int panel, const QString& text);

    // The progress bar beside the status texts, percent held to 0..100.
    void ShowProgress(int percent);
    void HideProgress();

    // Fits the tool row, the pane and the strip to the window's central
    // widget: the tool row keeps its height, the strip its own while it
    // shows (never more than the pane has), the information panel its
    // width while it shows, the pane takes the rest.
    void Arrange();
    // Keeps the empty pane's hint in the middle of the pane.
    void CentreEmptyHint();

private:
    void CreateMenu();
    void CreateToolRow();
    void CreatePicturePane(TThumbnailModel* thumbnails);
    void CreateStatusBar();

    QMainWindow& window_;
    TStatusPanel* statusPanels_[3] = {};
};

} // namespace lumigrab
