// The setup dialog behind the main window's Setup button: the news
// server's name, how to reach it (TLS, the account and its password), and
// Get Groups, which fetches the server's newsgroup list and keeps the
// picture groups in the group list file for the next start.
#pragma once

#include <QDialog>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace lumigrab {

class TStringList;
class TfrmMain;

// Keeps the lines of a newsgroup list (one "name last first flag" per
// line) that contain "picture", in lower case, anywhere, each cut to its
// text before the first blank; the other lines go.
void KeepPictureGroups(TStringList& lines);

class TSetupDlg : public QDialog {
    Q_OBJECT

public:
    // Uses the main window's news client and group list file.
    explicit TSetupDlg(TfrmMain& owner);

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
    QLabel* UserNameLabel;
    QLineEdit* UserNameEdit;
    QLabel* PasswordLabel;
    QLineEdit* PasswordEdit;
    // Where the password is kept.
    QLabel* PasswordNote;

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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void GetGroups();

    TfrmMain& main_;
    bool fetching_ = false;
};

} // namespace lumigrab
