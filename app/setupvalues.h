// What the setup dialog edits and the main window applies: how the news
// server is reached (news/serversettings.h) and how a Go walks a group. A
// plain value: the dialog fills its controls from one and hands one back,
// and the window compares it with what it runs on before it takes it.
//
// A new setting of the server goes into TServerSettings and, when the user
// sets it, its control in TSetupDlg (SetValues and Values) and its line in
// TMainSettings (app/mainsettings.h). A new walk setting goes into
// TWalkSettings, its control, and its line in ReadWalkSettings and
// WriteWalkSettings. The window hands either on whole.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "news/headerfilter.h"
#include "news/serversettings.h"

class QSettings;

namespace lumigrab {

// Read when a walk starts; a change keeps the connection.
struct TWalkSettings {
    // A first walk on a group starts this many articles before the group's
    // last one; 0 starts at its first.
    int StartBeforeEnd = 0;
    // Parts of multi-part posts are joined into pictures; off, they are
    // passed over like any part.
    bool JoinMultiPartPosts = true;

    bool operator==(const TWalkSettings&) const = default;
};

// How the viewer keeps and shows pictures; a change takes effect at once.
struct TViewerSettings {
    // Where Keep copies pictures (app/keepfolder.h), UTF-8; empty: the
    // default, DefaultKeepFolder().
    std::string KeepFolder;
    // The slideshow's pause between pictures (app/slideshow.h).
    int SlideshowSeconds = 4;

    bool operator==(const TViewerSettings&) const = default;
};

struct TSetupValues {
    // A change to any but its Connections closes the open connection
    // (SameConnection): the next command connects with the new values. A
    // change of Connections is taken at the next Go.
    TServerSettings Server;
    TWalkSettings Walk;
    // The group selected in the window, empty for none, and its filters
    // (news/headerfilter.h), read at each Go.
    std::string Group;
    THeaderFilterSettings Filter;
    // Asked in order, by message-id, for what the server above no longer
    // has (news/fillservers.h); each with its own address, TLS and account.
    std::vector<TServerSettings> FillServers;
    TViewerSettings Viewer;

    bool operator==(const TSetupValues&) const = default;
};

// The most articles before the end a first walk may start; the setup
// dialog's spin box goes no further.
constexpr int MaxStartBeforeEnd = 99999999;

// Names of the walk settings in the settings file.
inline const char* const StartBeforeEndSetting = "Start new groups this many articles before their end";
inline const char* const JoinMultiPartPostsSetting = "Join multi-part posts";
inline const char* const ConnectionsSetting = "Connections";
// A server setting, on unless the file says otherwise.
inline const char* const CompressHeadersSetting = "Compress headers";

// Names of a group's filters, each group's under FiltersGroup and its
// percent-encoded name.
inline const char* const FiltersGroup = "Filters";
inline const char* const TakeSubjectsSetting = "Subjects to take";
inline const char* const SkipSubjectsSetting = "Subjects to skip";
inline const char* const SkipPostersSetting = "Posters to skip";
inline const char* const MinBytesSetting = "Smallest size";
inline const char* const MaxBytesSetting = "Largest size";

// Names of the viewer settings in the settings file.
inline const char* const KeepFolderSetting = "Keep Folder";
inline const char* const SlideshowSecondsSetting = "Slideshow Seconds";

// The fill servers, in order, as an array of this name; a file that lists
// more than MaxFillServers keeps the first.
inline const char* const FillServersArray = "Fill Servers";
constexpr int MaxFillServers = 16;

// A missing value, or one that is no number in range (a person may have
// edited the file), reads as its default; the connections' default is
// DefaultConnections.
TWalkSettings ReadWalkSettings(const QSettings& settings);
void WriteWalkSettings(QSettings& settings, const TWalkSettings& walk);
int ReadConnections(const QSettings& settings);
void WriteConnections(QSettings& settings, int connections);
// The filters of every group the file names, by group name; sizes that are
// no plain numbers read as no bound. The patterns are read as they stand:
// a Go refuses one that does not compile, with the reason.
std::map<std::string, THeaderFilterSettings> ReadFilters(QSettings& settings);
// Replaces them all; a group without filters gets no entry.
void WriteFilters(QSettings& settings, const std::map<std::string, THeaderFilterSettings>& filters);
// A slideshow pause out of range (1 to 3600 seconds) reads as the default.
TViewerSettings ReadViewerSettings(const QSettings& settings);
void WriteViewerSettings(QSettings& settings, const TViewerSettings& viewer);
// Each fill server's Server, UseTLS, Connections (1 when missing) and
// UserName; one without a server name is left out. Passwords are the keyring's (TMainSettings).
std::vector<TServerSettings> ReadFillServers(QSettings& settings);
void WriteFillServers(QSettings& settings, const std::vector<TServerSettings>& servers);

} // namespace lumigrab
