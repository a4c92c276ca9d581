// The browser's main window: pick a picture newsgroup, press Go, and the
// window has the news client walk the group's headers while the harvest
// keeps the pictures of every large single-part article in the picture
// folder; Back, Forward, the counter, mouse zoom and Delete browse them.
//
// Everything runs on the one user-interface thread. The client pumps
// events while it waits for the server, so every handler here may run
// nested inside a running Go or Get Groups: Stop, the picture controls and
// the menu work during a transfer. One command sequence runs at a time; a
// second one is refused with a status text and sends nothing. No handler
// lets an exception reach the event loop: errors go to an error box.
//
// This class holds the handlers; the widgets and where they sit are
// app/mainlayout, what is kept between runs (the server, the password,
// the trusted certificates) app/mainsettings, and the question whether to
// trust a certificate app/trustquestion.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "TRTFormSrc.h"
#include "app/mainsettings.h"
#include "app/setupvalues.h"
#include "picturepane.h"

class QComboBox;
class QProgressBar;
class QUrl;

namespace lumigrab {

class EUntrustedCertificateError;
class TComponent;
class TGlyphButton;
class TMainLayout;
class THarvest;
class THarvestRun;
class TFillServers;
class TPictureCounter;
class TPictureSet;
class TPictureView;
class TSetupDlg;
class TTransferRateLabel;
class TViewerActions;
class TmsArticle;
class TmsNNTP;

// Where the program keeps its picture folder and its group list, ending in
// '/': the program's own folder when it is writable and not an installed
// copy (one with its desktop entry in ../share/applications beside it,
// base/desktopentry.h), else
// $XDG_DATA_HOME/Lumigrab/.
QString ProgramDataFolder(const QString& programFolder);

class TfrmMain : public TRTForm {
    Q_OBJECT

public:
    // dataFolder: where "TEMP" and "Lumigrab.Dat" live, ending in '/';
    // empty = ProgramDataFolder of the running program.
    explicit TfrmMain(QString dataFolder = {}, QWidget* owner = nullptr);
    ~TfrmMain() override;

    // Components. The news client and the article it fetches into are
    // owned here; the widgets belong to the window.
    TmsNNTP* msNNTP;
    TmsArticle* msArticle1;
    // The controls a user works, as the tests and the benchmark work them;
    // the window's other widgets are its own (below).
    TGlyphButton* SetupButton;
    TGlyphButton* sbPrior;
    TGlyphButton* sbNext;
    QComboBox* NGEdit;
    TPicturePane* ScrollBox1;
    TPictureView* Image1;
    TGlyphButton* btnGo;
    TGlyphButton* CancelButton;
    TPictureCounter* PicOfPic;
    // Beside the status texts while an article arrives.
    QProgressBar* ProgressBar;
    // The speed and the pictures per minute while Go runs.
    TTransferRateLabel* TransferRate;
    // What the viewer does beyond browsing (app/vieweractions.h).
    TViewerActions& Viewer() const { return *viewer_; }

    // Replaceable for tests: opening an address with the desktop's
    // handler.
    std::function<bool(const QUrl& address)> OpenUrl;

    // The picture folder, ending in '/'.
    const QString& TempFolder() const { return tempFolder_; }
    // Full paths of the pictures, in display order.
    const QStringList& Pictures() const;
    // Index in Pictures of the picture on show; -1 after an undecodable
    // one was dropped.
    int PictureIndex() const;
    const QString& UserName() const { return settings_.UserName; }
    const QString& EMailAddress() const { return settings_.EMailAddress; }
    // The headers one Go takes: 0 (to the end of the group) until the
    // setup dialog has been opened, then 5000.
    int HeaderBatch() const { return headerBatch_; }
    // The newsgroup list file.
    const QString& DataFile() const { return dataFile_; }

    // Status panels: 0 the article count, 1 the current status, 2 the
    // subject.
    QString StatusText(int panel) const;

    // Whether a command sequence runs on msNNTP.
    bool CommandSequenceRunning() const { return sequenceRunning_; }
    // The settings the setup dialog edits, as the window runs on them.
    TSetupValues SetupValues() const;
    // Takes the setup dialog's values. A change of how the server is
    // reached closes the open connection, so that the next command connects
    // with the new values; while a command sequence runs that is refused
    // like a second command (status text, false, nothing taken).
    bool ApplySetup(const TSetupValues& values);

    // Go: the selected group's pictures.
    void okClick();
    // File, Open NZB..., and an .nzb dropped on the window: fetches the
    // pictures the NZB names, by message-id, into the picture folder
    // (news/nzbharvest.h), as one command sequence. One that cannot be
    // read gets an error box with the reason, before anything is sent.
    void OpenNzb(const QString& path);
    // A picture the harvest kept: joins the set; the first of an empty set
    // is shown at once.
    void AddPicture(const QString& path);
    // Whether the picture folder is still being listed: it is listed from
    // the event loop a slice at a time, the first picture showing as soon
    // as one is found.
    bool ScanningTempFolder() const;

protected:
    void FormCreate() override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Runs commands as the one command sequence on msNNTP. While another
    // sequence runs, nothing is run: the status bar says so and the result
    // is false. Errors of commands reach the caller.
    bool RunCommandSequence(const std::function<void()>& commands);
    // RunCommandSequence for commands that may connect. A server
    // certificate refused as untrusted raises nothing: asker shows the
    // question whether to trust it for this server (never decided
    // silently), and on yes the certificate is trusted and again() runs:
    // the user's command once more.
    bool RunConnectingSequence(
        QWidget* asker, const std::function<void()>& commands, std::function<void()> again);

    class TSequence;

    // Handlers of the window's controls.
    void FormClose();
    void FormResize();
    void CancelButtonClick();
    void SetupButtonClick();
    void NGEditChange();
    void NGEditExit();
    void ExitButtonClick();
    void About1Click();
    void TamberlyHomepage1Click();
    void sbPriorClick();
    void sbNextClick();
    void PicOfPicDropDown();
    void PicOfPicChange(int itemIndex);
    // Enter on text typed into the counter.
    void PicOfPicTyped(const QString& text);
    void Image1MouseDown(Qt::MouseButton button);
    void Deletethispicture1Click();
    void OpenNzb1Click();
    void FetchNzb(const QString& path);
    void ShowFirstPicture();
    void ShowLastPicture();
    // Full screen on and off (F11); Esc leaves full screen before it
    // means Stop.
    void ToggleFullScreen();
    void EscapeKeyPress();
    // Ctrl+Z: the picture deleted last comes back from the trash, at its
    // old place in the set.
    void UndoDelete();

    // The picture set.
    void ShowPicture();
    void UpdatePicOfPic();
    void ScanTempFolder();
    // An article the harvest gave up on while the walk goes on.
    void ReportSkippedArticle(const QString& reason);
    void SetStatusText(int panel, const QString& text);

    void CreateComponents();
    // The public controls, from the layout.
    void TakeLayout();
    // The controls' signals to their handlers.
    void BindControls();
    void CreateShortcuts();
    void BindClientEvents();
    void UnbindClientEvents();
    void BindHarvestEvents();
    // The run's events to the status bar and the transfer speed.
    void BindRunEvents();
    void BindViewer();
    // Go as one command sequence (news/harvestrun.h), with the transfer
    // speed shown while it runs.
    void Go();
    // The fill servers Setup lists, for one Go or NZB, each with the
    // certificate trusted for it; closed when the returned guard ends.
    [[nodiscard]] std::shared_ptr<void> OpenFillServers();
    // The trust question for the certificate refusal refused; on yes the
    // certificate is trusted for msNNTP's server and again() runs.
    void AskToTrust(QWidget* asker, const EUntrustedCertificateError& refusal, std::function<void()> again);
    // Hands the values on, inside a command sequence.
    void TakeSetup(const TSetupValues& values);
    // Hands the walk settings to the client and the harvest.
    void ApplyWalkSettings();
    void GetGroups(TSetupDlg& dialog, const TSetupValues& values);
    void LoadNewsGroupFile();
    void ShowProgress(int percent);
    void HideProgress();
    void BindPictureSet();
    // The picture set put picture on show (null: see TPictureSet::Shown).
    void PictureShown(const QImage& picture, const QString& path);
    // Runs a picture command as a handler; Back and Forward stay disabled
    // while it runs.
    template <typename Command> void PictureCommand(Command&& command) noexcept;
    // Runs handler; an error goes to the error box unless the window is
    // closing (a transfer canceled by closing is no news to the user).
    template <typename Handler> void Guarded(Handler&& handler) noexcept;

    const QString dataFolder_;
    std::unique_ptr<TComponent> components_;
    // The window's widgets, built into it; the window owns them.
    std::unique_ptr<TMainLayout> layout_;
    // The server, the account, the walk and the trusted certificates, as
    // read at start and written at close.
    TMainSettings settings_;
    std::unique_ptr<THarvest> harvest_;
    TPictureSet* pictures_;
    // Every Go of this window, so that the next one resumes where the last
    // ended; made with msNNTP, ended before the harvest.
    std::unique_ptr<THarvestRun> run_;
    // While a Go or an NZB fetch runs, when Setup lists fill servers.
    std::unique_ptr<TFillServers> fill_;
    // Keep, Copy, turning, the slideshow, the information panel; the
    // window's child.
    TViewerActions* viewer_ = nullptr;
    QString tempFolder_;
    int headerBatch_ = 0;
    QString dataFile_;
    bool sequenceRunning_ = false;
    bool closing_ = false;
};

} // namespace lumigrab
