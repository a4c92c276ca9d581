// The setup dialog behind the main window's Setup button: the news
// server's name, how to reach it (TLS, the account and its password), where
// new groups start, the selected group's filters, the fill servers asked
// for what the server no longer has, where Keep puts pictures and the
// slideshow's pause, and Get Groups, which fetches the
// server's newsgroup list and keeps the picture groups in the group list
// file for the next start. The dialog edits a TSetupValues; the window that
// opens it applies the values and runs Get Groups, so the dialog knows
// nothing of the window or its news client.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

#include "app/setupvalues.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace lumigrab {

class TFillServerList;
class TStringList;
class TmsNNTP;

// Keeps the lines of a newsgroup list (one "name last first flag" per
// line) that contain "picture", in lower case, anywhere, each cut to its
// text before the first blank; the other lines go.
void KeepPictureGroups(TStringList& lines);

// Fetches the server's newsgroup list through client and writes its picture
// groups into fileName, replacing the file only once the whole list has
// arrived; the client's group list then holds them.
void GetPictureGroups(TmsNNTP& client, const QString& fileName);

class TSetupDlg : public QDialog {
    Q_OBJECT

public:
    // Edits a TSetupValues; the owner applies it and runs Get Groups
    // through the hooks below.
    explicit TSetupDlg(QWidget* owner);

    QFrame* Bevel1;
    QLabel* Label1;
    QLabel* Label3;
    QLineEdit* ServerEdit;
    QPushButton* OKButton;
    QPushButton* CancelButton;
    QPushButton* btnGetGroup;
    // How the server is reached, below the server's name.
    QFrame* Bevel2;
    QCheckBox* UseTLSCheck;
    // How many connections fetch articles at once, beside Use TLS.
    QLabel* ConnectionsLabel;
    QSpinBox* ConnectionsSpin;
    QLabel* UserNameLabel;
    QLineEdit* UserNameEdit;
    QLabel* PasswordLabel;
    QLineEdit* PasswordEdit;
    // Where the password is kept.
    QLabel* PasswordNote;
    QCheckBox* CompressHeadersCheck;
    // How a Go walks a group, below the connection.
    QFrame* Bevel3;
    QLabel* StartBeforeEndLabel;
    QSpinBox* StartBeforeEndSpin;
    QCheckBox* JoinMultiPartCheck;
    // The filters of the group selected in the window, below.
    QFrame* Bevel4;
    QLabel* FiltersLabel;
    QLineEdit* TakeSubjectsEdit;
    QLineEdit* SkipSubjectsEdit;
    QLineEdit* SkipPostersEdit;
    QLineEdit* MinBytesEdit;
    QLineEdit* MaxBytesEdit;
    // The fill servers, in a column of their own on the right.
    TFillServerList* FillServers;
    // Where Keep puts pictures and the slideshow's pause, below them.
    QFrame* Bevel5;
    QLineEdit* KeepFolderEdit;
    QPushButton* KeepFolderButton;
    QSpinBox* SlideshowSecondsSpin;

    // The controls from values, and the values the controls hold (the user
    // name without surrounding blanks); what no control shows stays as
    // SetValues gave it.
    void SetValues(const TSetupValues& values);
    TSetupValues Values() const;

    // OK: given the values, once their filter compiles (an error box on the
    // dialog says why not); false keeps the dialog open (they cannot be
    // taken now). Unset: OK just closes.
    std::function<bool(const TSetupValues& values)> OnApply;
    // Get Groups with the values shown, and Stop while it waits. Errors of
    // OnGetGroups go to an error box on the dialog.
    std::function<void(const TSetupValues& values)> OnGetGroups;
    std::function<void()> OnStopGetGroups;

    // Says whether the password goes into the settings file (no keyring
    // runs) or into the desktop's keyring.
    void SetPasswordInSettingsFile(bool inSettingsFile);

    // Fetches the server's newsgroup list and writes the picture groups
    // into the group list file, replacing it only once the whole list has
    // arrived.
    void btnGetGroupClick();

    // Cancel (or Escape) while Get Groups waits stops the transfer; the
    // dialog stays open to show how it ended.
    void reject() override;
    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PlaceFilterControls();
    void PlaceViewerControls();

    bool fetching_ = false;
    TSetupValues given_;
};

} // namespace lumigrab
