// What the main window keeps between runs, under one settings key (see
// OpenRegKey in app/TRTFormSrc.h): how the news server is reached, the
// poster's name and address, the walk settings, the certificates the user
// trusts, each for its server, and the password, in the desktop's keyring
// when one runs (app/passwordstore.h).
//
// No widgets. Reading and writing may wait for the keyring in a nested
// event loop, and only then: without an account no keyring is asked.
#pragma once

#include <QMap>
#include <QString>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/setupvalues.h"

class QSettings;

namespace lumigrab {

// The settings key of the window: server, user and placement.
inline const char* const SettingsKey = "Software\\Internet\\Lumi";
// The server a first start, or a settings file without one, connects to.
inline const char* const DefaultServer = "news";

class TMainSettings {
public:
    // key: where the values live (see OpenRegKey).
    explicit TMainSettings(QString key);

    // The poster's name and e-mail address.
    QString UserName;
    QString EMailAddress;
    TWalkSettings Walk;
    // Each group's filters by its name; a group without any is not there.
    std::map<std::string, THeaderFilterSettings> Filters;
    // Asked in order for what the server no longer has; their passwords
    // are kept as the server's is.
    std::vector<TServerSettings> FillServers;
    TViewerSettings Viewer;

    THeaderFilterSettings FilterOf(const std::string& group) const;

    // Reads every value but the password and the trusted fingerprint: the
    // server's Server, LogFileName, UseTLS, UserName and Connections, the
    // fields above and the trusted certificates. A missing server reads as
    // empty, one that is no plain text (a list, a typed value) as
    // DefaultServer.
    void Read(TServerSettings& server);
    // The password of the server's account, and of each fill server's;
    // nothing is read without an account.
    void ReadPassword(TServerSettings& server);
    // Writes what Read reads, and the password when it changed (see
    // PasswordChanged) or belongs to another server or account than the one
    // last read or written; a fill server's password when it is not the
    // one last read or written for its server and account. A settings file that cannot be written is
    // reported as a warning, as the window is closing.
    void Write(const TServerSettings& server);
    // The user gave a new password: the next Write keeps it.
    void PasswordChanged() { passwordChanged_ = true; }

    // The fingerprint of the certificate the user trusts for server ("host"
    // or "host:port", in any case), empty for none.
    QString TrustedCertificate(const QString& server) const;
    void TrustCertificate(const QString& server, const QString& fingerprint);

    // Whether no keyring runs, so that the password is kept in the settings
    // file; asks the keyring only when no read has answered yet.
    bool PasswordInSettingsFile();

private:
    void WritePassword(QSettings& settings, const TServerSettings& server);
    void WriteFillPasswords(QSettings& settings);

    const QString key_;
    // Server (lower case) -> fingerprint of the certificate trusted for it.
    QMap<QString, QString> trustedCertificates_;
    // The server and account the password belongs to as the store
    // keeps it, and whether the user changed it since.
    std::pair<std::string, std::string> passwordKey_;
    bool passwordChanged_ = false;
    // (server, account) -> the fill server's password as the store keeps it.
    std::map<std::pair<std::string, std::string>, std::string> fillPasswords_;
    std::optional<bool> keyringRuns_;
};

} // namespace lumigrab
