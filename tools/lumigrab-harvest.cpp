// Harvests the pictures of a newsgroup without a window: selects the group,
// walks its headers and keeps the pictures of every large single-part
// article and of every multi-part post it can join, as the browser's Go
// does.
//
//   lumigrab-harvest --server HOST[:PORT] --group NAME [--count N]
//                    [--newest N] [--folder DIR] [--log FILE]
//                    [--tls] [--trust SHA256] [--user NAME] [--no-join]
//                    [--connections N] [--no-compress]
//                    [--match REGEX] [--skip REGEX] [--skip-poster REGEX]
//                    [--min-size BYTES] [--max-size BYTES]
//                    [--fill HOST[:PORT] [--fill-tls] [--fill-user NAME]
//                     [--fill-trust SHA256] [--fill-connections N]]...
//   lumigrab-harvest --server HOST[:PORT] --nzb FILE [--folder DIR] [--log FILE]
//                    [--tls] [--trust SHA256] [--user NAME]
//   lumigrab-harvest --help | --version
//
// --connections N (1 to 50, default 1) opens N connections to the server:
// the walk's own and N - 1 more that fetch the articles on threads of their
// own (news/fetchpool.h), for servers that cap the speed of each. The
// default keeps one connection, as scripts and servers with tight limits
// expect; the window's "Connections" setting defaults to 4. Connections
// the server refuses lower the count for the run, reported once on
// standard error ("2 connections refused: fetching with 5").
//
// --no-join passes multi-part posts over instead of joining them.
//
// The walk's connection is compressed where the server offers it (COMPRESS
// DEFLATE, else XFEATURE COMPRESS GZIP), as overview text packs several-fold;
// --no-compress keeps it plain. A walk longer than ten overview commands is
// shared with the pool's connections, which are then compressed too.
//
// --match takes only the headers whose subject matches, --skip leaves out
// those whose subject matches and --skip-poster those whose poster does
// (regular expressions, case-insensitive, found anywhere in the text);
// --min-size and --max-size bound the size in bytes of an article, or of
// the sum of a multi-part post's parts. What they leave out is never
// fetched; the summary counts it ("412 headers left out by the filters").
// A pattern that does not compile is refused with the reason before
// anything is sent.
//
// --nzb FILE fetches the files the NZB names, by message-id and without a
// group (news/nzbharvest.h): their segments in number order, joined, and
// kept when they are pictures; a file named as no picture (par2, nfo, an
// archive) is reported and passed over. An NZB that cannot be read ends the
// run with the reason ("not an NZB file: ... at line 12"), before anything
// is sent.
//
// --fill HOST[:PORT] adds a fill server, asked in the order given for an
// article (or a part of a multi-part post) the server no longer has, by
// message-id; --fill-tls, --fill-user, --fill-trust and --fill-connections
// apply to the --fill before them, the password of the N-th comes from
// LUMIGRAB_FILL_PASSWORD (the first) or LUMIGRAB_FILL_PASSWORD_N. With
// --connections above 1, each fill server gets a pool of its own of
// --fill-connections (default 1); without, one connection each. A fill
// server that cannot be reached or refuses is reported once and passed
// over.
//
// --newest N starts the walk N articles before the group's last one
// (0, the default: at its first).
//
// --tls connects with TLS (port 563 unless the server names one); the
// server's certificate must be trusted by the system (SSL_CERT_FILE and
// SSL_CERT_DIR apply) or have the fingerprint given with --trust. A refused
// certificate is reported with its fingerprint. --user logs in with that
// name and the password in the environment variable LUMIGRAB_PASSWORD, which
// keeps it off the command line (and out of the process list).
//
// Kept pictures' paths go to standard output as they are kept, status texts
// to standard error: among them a line for every article passed over or kept
// only in part (gone from the server, damaged beyond decoding, a picture
// file that cannot be written), after which the walk goes on, and one for
// every multi-part post with parts missing ("Incomplete: ..."). A full or
// read-only disk ends the walk. The folder's index (news/harvestindex.h)
// keeps a second run into the same folder from fetching what the first
// took. Exit codes: 0 done, 1 an operation failed (with the error text), 2
// wrong usage (the usage text on standard error), 3 done, but articles were
// passed over or kept in part, or posts were incomplete. --help prints the
// usage text and --version the version on standard output, with 0, as GNU
// tools do.
#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/sysutils.h"
#include "message/msmsg.h"
#include "news/harvest.h"
#include "base/desktopentry.h"
#include "news/fillservers.h"
#include "news/harvestrun.h"
#include "news/headerfilter.h"
#include "news/msnntp.h"
#include "news/nzbharvest.h"
#include "news/serversettings.h"
#include "transport/kttls.h"
#include "transport/kttypes.h"

using namespace lumigrab;

namespace {

// What the command line asks for.
enum class TRequest { Harvest, Help, Version };

struct Options {
    TRequest request = TRequest::Harvest;
    // Connections 1 unless asked: scripts and servers with tight limits
    // expect one. The walk is compressed unless --no-compress.
    TServerSettings server;
    std::string group;
    // Fetched instead of a group when set.
    std::string nzb;
    // Headers one run takes; 0: to the group's end.
    int64_t count = 0;
    TArticleNumber newest = 0;
    std::string folder;
    bool join = true;
    THeaderFilterSettings filter;
    std::vector<TServerSettings> fill;
};

constexpr int ExitDone = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitArticlesSkipped = 3;
// Header entries kept: each is handled as it arrives and not needed after,
// so a walk over millions of headers holds only these.
constexpr int KeptHeaders = 1000;

const char* const Usage
    = "usage: lumigrab-harvest --server HOST[:PORT] --group NAME [--count N] [--folder DIR] "
      "[--newest N] [--log FILE] [--tls] [--trust SHA256] [--user NAME] [--no-join] [--connections N] "
      "[--no-compress] [--match REGEX] [--skip REGEX] [--skip-poster REGEX] [--min-size BYTES] "
      "[--max-size BYTES] [--fill HOST[:PORT] [--fill-tls] [--fill-user NAME] [--fill-trust SHA256]\n"
      "  [--fill-connections N]]...\n"
      "       lumigrab-harvest --server HOST[:PORT] --nzb FILE [--folder DIR] [--log FILE] [--tls] "
      "[--trust SHA256] [--user NAME]\n"
      "       lumigrab-harvest --help | --version\n"
      "The password for --user is taken from the environment variable LUMIGRAB_PASSWORD.\n";
const char* const PasswordVariable = "LUMIGRAB_PASSWORD";
const char* const FillPasswordVariable = "LUMIGRAB_FILL_PASSWORD";
const char* const SLongWalkHint = "--newest N starts N articles before the group's end";

std::filesystem::path ProgramFolder(const char* argv0)
{
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        program = std::filesystem::absolute(argv0, error);
    return program.parent_path();
}

// TEMP beside the program, as in a build tree. An installed copy (one with
// its desktop entry beside its folder, base/desktopentry.h, as in /usr/bin)
// or one in a folder the user cannot write uses the user's data folder,
// where the window keeps its pictures too.
std::filesystem::path DefaultPictureFolder(const char* argv0)
{
    const std::filesystem::path programFolder = ProgramFolder(argv0);
    std::error_code error;
    bool installed = false;
    for (const std::string_view entry : InstalledDesktopEntries)
        installed = installed || std::filesystem::exists(programFolder / entry, error);
    if (!installed && QFileInfo(QString::fromStdString(programFolder.string())).isWritable())
        return programFolder / "TEMP";
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return std::filesystem::path(dataFolder.toStdString()) / "Lumigrab" / "TEMP";
}

// A pattern of a filter option, refused with the reason when it does not
// compile.
bool TakePattern(std::string_view name, const std::string& value, std::string& pattern)
{
    if (const std::optional<std::string> error = PatternError(value)) {
        std::cerr << "lumigrab-harvest: " << name << ": " << *error << '\n';
        return false;
    }
    pattern = value;
    return true;
}

bool TakeSize(const std::string& value, int64_t& bytes)
{
    const auto size = ParseArticleNumber(value);
    if (!size)
        return false;
    bytes = int64_t(std::min<uint64_t>(*size, INT64_MAX));
    return true;
}

// Bounds that cross are refused as a bad pattern is.
bool ValidFilter(const THeaderFilterSettings& filter)
{
    try {
        THeaderFilter { filter };
        return true;
    } catch (const EFilterError& error) {
        std::cerr << "lumigrab-harvest: " << error.Message() << '\n';
        return false;
    }
}

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    options.server.CompressHeaders = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h" || name == "--version") {
            options.request = name == "--version" ? TRequest::Version : TRequest::Help;
            return options;
        }
        if (name == "--tls") {
            options.server.UseTLS = true;
            continue;
        }
        if (name == "--no-join") {
            options.join = false;
            continue;
        }
        if (name == "--no-compress") {
            options.server.CompressHeaders = false;
            continue;
        }
        if (name == "--fill-tls") {
            if (options.fill.empty())
                return std::nullopt;
            options.fill.back().UseTLS = true;
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string value = argv[++i];
        if (name == "--server") {
            options.server.Server = value;
        } else if (name == "--group") {
            options.group = value;
        } else if (name == "--nzb") {
            options.nzb = value;
        } else if (name == "--fill") {
            TServerSettings& fill = options.fill.emplace_back();
            fill.Server = value;
            fill.Connections = 1;
        } else if (name == "--fill-user" || name == "--fill-trust") {
            if (options.fill.empty())
                return std::nullopt;
            TServerSettings& fill = options.fill.back();
            if (name == "--fill-user")
                fill.UserName = value;
            else if ((fill.TrustedFingerprint = NormalizeFingerprint(value)).empty())
                return std::nullopt;
        } else if (name == "--count") {
            // Article counts of 64 bits, in plain digits; a count beyond any
            // group walks to its end like 0.
            const auto count = ParseArticleNumber(value);
            if (!count)
                return std::nullopt;
            options.count = int64_t(std::min<uint64_t>(*count, INT64_MAX));
        } else if (name == "--newest") {
            const auto newest = ParseArticleNumber(value);
            if (!newest)
                return std::nullopt;
            options.newest = *newest;
        } else if (name == "--connections" || name == "--fill-connections") {
            const auto connections = TryStrToInt(value);
            if (!connections || *connections < MinConnections || *connections > MaxConnections) {
                std::cerr << "lumigrab-harvest: " << name << " takes a number from " << MinConnections
                          << " to " << MaxConnections << ", not \"" << PrintableText(value) << "\"\n";
                return std::nullopt;
            }
            if (name == "--connections")
                options.server.Connections = *connections;
            else if (options.fill.empty())
                return std::nullopt;
            else
                options.fill.back().Connections = *connections;
        } else if (name == "--folder") {
            options.folder = value;
        } else if (name == "--log") {
            options.server.LogFileName = value;
        } else if (name == "--trust") {
            options.server.TrustedFingerprint = NormalizeFingerprint(value);
            if (options.server.TrustedFingerprint.empty())
                return std::nullopt;
        } else if (name == "--user") {
            options.server.UserName = value;
        } else if (name == "--match" || name == "--skip" || name == "--skip-poster") {
            std::string& pattern = name == "--match" ? options.filter.TakeSubjects
                : name == "--skip"                   ? options.filter.SkipSubjects
                                                     : options.filter.SkipPosters;
            if (!TakePattern(name, value, pattern))
                return std::nullopt;
        } else if (name == "--min-size" || name == "--max-size") {
            if (!TakeSize(value, name == "--min-size" ? options.filter.MinBytes : options.filter.MaxBytes))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (options.server.Server.empty() || options.group.empty() == options.nzb.empty()
        || !ValidFilter(options.filter))
        return std::nullopt;
    if (options.folder.empty())
        options.folder = DefaultPictureFolder(argv[0]).string();
    return options;
}

// Texts from the server and from posters may hold control characters.
void Status(const std::string& text)
{
    std::cerr << PrintableText(text) << '\n';
}

// The status texts the browser shows in its status bar.
void ReportStatus(TmsNNTP& client)
{
    client.OnOpen = [](TObject*) { Status("Opening connection"); };
    client.OnClosed = [](TObject*) { Status("Connection closed"); };
    client.OnGroupSelected
        = [&client](TObject*) { Status("Total articles: " + std::to_string(client.ArticleCount())); };
    // A line per change, not per chunk received; each article starts anew.
    auto lastPercent = std::make_shared<int>(-1);
    client.OnArticleRetrieved = [lastPercent](TObject*) {
        *lastPercent = -1;
        Status("Article retrieved");
    };
    client.OnProgress = [lastPercent](TObject*, int perc) {
        if (perc == *lastPercent)
            return;
        *lastPercent = perc;
        Status(std::to_string(perc) + "% retrieved");
    };
}

// Kept pictures' paths to standard output, the rest to standard error;
// skipped counts the articles passed over or kept in part, and the posts
// reported incomplete.
void ReportHarvest(THarvest& harvest, int& skipped)
{
    harvest.OnPostIncomplete = [&skipped](const std::string& report) {
        ++skipped;
        Status(report);
    };
    harvest.OnArticleSkipped = [&skipped](const std::string& subject, const std::string& reason) {
        ++skipped;
        Status("Article \"" + subject + "\": " + reason);
    };
    harvest.OnPictureKept = [](const std::string& path) { std::cout << path << std::endl; };
    harvest.OnPictureDamaged = [](const std::string& path, const std::string& damage) {
        Status("Damaged picture " + path + ": " + damage);
    };
}

// Returns how many articles were passed over or kept in part, and posts
// reported incomplete.
int Harvest(TmsNNTP& client, THarvest& harvest, const Options& options)
{
    int skipped = 0;
    harvest.JoinParts = options.join;
    harvest.Filter = THeaderFilter(options.filter);
    ReportHarvest(harvest, skipped);
    THarvestRun run(client, &harvest);
    // A line a quarter second at most: a walk of millions of headers would
    // otherwise print millions of lines.
    run.OnHeaderWalked = [&run, lastShown = std::optional<TWalkProgress::TClock::time_point>()](
                             int, const TmsNgInfoItem&, int64_t) mutable {
        const auto now = TWalkProgress::TClock::now();
        if (lastShown && now - *lastShown < std::chrono::milliseconds(250))
            return;
        lastShown = now;
        Status(run.Progress().Text(now, SLongWalkHint));
    };
    run.OnLastHeader = [] { Status("Last available header retrieved"); };
    run.OnPoolLowered = Status;
    // The pool's error is not told twice: it ends the Go, which reports it.
    // A tool can wait for each connection's farewell.
    run.Go(options.group, { options.count, true });
    if (const std::string leftOut = harvest.Filter.LeftOutText(); !leftOut.empty())
        Status(leftOut);
    client.Disconnect();
    return skipped;
}

// The fill servers with their passwords: the first's from
// LUMIGRAB_FILL_PASSWORD, the N-th's from LUMIGRAB_FILL_PASSWORD_N.
std::vector<TServerSettings> FillServersOf(const Options& options)
{
    std::vector<TServerSettings> servers = options.fill;
    for (size_t i = 0; i < servers.size(); ++i) {
        if (servers[i].UserName.empty())
            continue;
        std::string variable = FillPasswordVariable;
        if (i > 0)
            variable.append(1, '_').append(std::to_string(i + 1));
        if (const char* password = std::getenv(variable.c_str()))
            servers[i].Password = password;
        else
            Status(variable + " is not set: logging in to " + servers[i].Server + " without a password");
    }
    return servers;
}

// The NZB is read whole before anything is sent.
int HarvestNzb(TmsNNTP& client, THarvest& harvest, const Options& options)
{
    const std::vector<TNzbFile> files = ReadNzbFile(options.nzb);
    int skipped = 0;
    ReportHarvest(harvest, skipped);
    TNzbHarvest nzb(client, harvest);
    nzb.OnNotAPicture = [](const std::string& name) { Status("Not a picture, passed over: " + name); };
    nzb.Fetch(files);
    client.Disconnect();
    return skipped;
}

int Run(const Options& options)
{
    std::error_code error;
    std::filesystem::create_directories(options.folder, error);
    if (error) {
        std::cerr << "Unable to create directory " << options.folder << '\n';
        return ExitFailed;
    }
    TmsArticle article;
    TmsNNTP client;
    client.SetWinsockLoaded(true);
    client.Settings = options.server;
    client.TimeOut = 600;
    client.SetArticle(&article);
    // Headers from the server's overview and articles asked for ahead: a
    // walk across the internet takes seconds rather than minutes.
    client.UseOverview = true;
    client.StartBeforeEnd = options.newest;
    client.HeaderList.SetRetention(KeptHeaders);
    if (!client.UserName.empty()) {
        if (const char* password = std::getenv(PasswordVariable))
            client.Password = password;
        else
            Status(std::string(PasswordVariable) + " is not set: logging in without a password");
    }
    ReportStatus(client);
    THarvest harvest(client, options.folder);
    TFillServers fill(FillServersOf(options), client.TimeOut);
    fill.OnServerLost = Status;
    if (!fill.Empty())
        harvest.SetFillServers(&fill);
    try {
        const int skipped
            = options.nzb.empty() ? Harvest(client, harvest, options) : HarvestNzb(client, harvest, options);
        return skipped == 0 ? ExitDone : ExitArticlesSkipped;
    } catch (const EUntrustedCertificateError& e) {
        std::cerr << e.Message() << '\n'
                  << "SHA-256 fingerprint: " << e.Fingerprint() << '\n'
                  << "If you trust this certificate, run again with --trust " << e.Fingerprint() << '\n';
        return ExitFailed;
    } catch (const Exception& e) {
        Status(e.Message());
    } catch (const std::exception& e) {
        Status(e.what());
    }
    return ExitFailed;
}

} // namespace

int main(int argc, char** argv)
{
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::cerr << Usage;
        return ExitUsage;
    }
    if (options->request == TRequest::Help) {
        std::cout << Usage;
        return std::cout.flush() ? ExitDone : ExitFailed;
    }
    if (options->request == TRequest::Version) {
        std::cout << "lumigrab-harvest " << LUMIGRAB_VERSION << '\n';
        return std::cout.flush() ? ExitDone : ExitFailed;
    }
    QCoreApplication application(argc, argv);
    return Run(*options);
}
