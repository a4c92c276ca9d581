// What the setup dialog edits and the main window applies: how the news
// server is reached and how a Go walks a group. A plain value: the dialog
// fills its controls from one and hands one back, and the window compares
// it with what it runs on before it takes it.
//
// A new setting goes in the same four places: a field here (in
// TConnectionSettings when a change must end the open connection, else in
// TWalkSettings), its control in TSetupDlg (SetValues and Values), its
// line in ReadWalkSettings and WriteWalkSettings, and where
// TfrmMain::TakeSetup hands it on.
#pragma once

#include <string>

class QSettings;

namespace lumigrab {

// A change to any of these closes the open connection: the next command
// connects with the new values.
struct TConnectionSettings {
    // A host name, or host:port.
    std::string Server;
    bool UseTLS = false;
    // No login while empty.
    std::string UserName;
    std::string Password;

    bool operator==(const TConnectionSettings&) const = default;
};

// Read when a walk starts; a change keeps the connection.
struct TWalkSettings {
    // A first walk on a group starts this many articles before the group's
    // last one; 0 starts at its first.
    int StartBeforeEnd = 0;
    // Parts of multi-part posts are joined into pictures; off, they are
    // passed over like any part.
    bool JoinMultiPartPosts = true;
    // How many connections fetch a walk's articles at once: the walk's own
    // and, beyond one, a pool of further ones. Taken at the next Go; the
    // open connection stays.
    int Connections = 4;

    bool operator==(const TWalkSettings&) const = default;
};

struct TSetupValues {
    TConnectionSettings Connection;
    TWalkSettings Walk;

    bool operator==(const TSetupValues&) const = default;
};

// The most articles before the end a first walk may start; the setup
// dialog's spin box goes no further.
constexpr int MaxStartBeforeEnd = 99999999;
// News providers allow some 8 to 50 connections per account.
constexpr int MinConnections = 1;
constexpr int MaxConnections = 50;

// Names of the walk settings in the settings file.
inline const char* const StartBeforeEndSetting = "Start new groups this many articles before their end";
inline const char* const JoinMultiPartPostsSetting = "Join multi-part posts";
inline const char* const ConnectionsSetting = "Connections";

// A missing value, or one that is no number in range (a person may have
// edited the file), reads as its default.
TWalkSettings ReadWalkSettings(const QSettings& settings);
void WriteWalkSettings(QSettings& settings, const TWalkSettings& walk);

} // namespace lumigrab
