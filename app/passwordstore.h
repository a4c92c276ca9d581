// Where a news server's password is kept between runs: in the desktop's
// keyring (QtKeychain) when one answers, else in the settings file, which is
// then made readable and writable by its owner only. The setup dialog shows
// which (Place), so the user knows how the password is kept.
//
// No widgets: QtCore and the keyring's D-Bus service only. Each call waits
// for the keyring in a nested event loop (an unlock prompt may appear).
#pragma once

#include <QSettings>

#include <string>

namespace lumigrab {

class TPasswordStore {
public:
    enum class TPlace {
        None,
        Keyring,
        // The settings file, readable by its owner only.
        SettingsFile,
    };

    // The settings value that holds the password when no keyring answers.
    static constexpr const char* SettingName = "Password";

    // settings: the program's settings, in the group the password belongs
    // to. useKeyring false keeps the password in the settings file always.
    explicit TPasswordStore(QSettings& settings, bool useKeyring = true);

    // The password kept for user on server; empty when none is.
    std::string Read(const std::string& server, const std::string& user);
    // Keeps the password (an empty one forgets it) and returns where.
    TPlace Write(const std::string& server, const std::string& user, const std::string& password);
    // Where the last Read found or Write put the password.
    TPlace Place() const { return place_; }
    // Whether the keyring answered the last Read or Write, with a password
    // or without one; false when no keyring runs or none is used.
    bool KeyringAnswered() const { return keyringAnswered_; }
    // Asks the keyring whether it runs, reading no password; the answer is
    // also what KeyringAnswered() gives from then on.
    bool ProbeKeyring();

private:
    QSettings& settings_;
    bool useKeyring_;
    TPlace place_ = TPlace::None;
    bool keyringAnswered_ = false;

    void RestrictSettingsFile();
};

} // namespace lumigrab
