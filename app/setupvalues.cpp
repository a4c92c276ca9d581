#include "setupvalues.h"

#include <QSettings>
#include <QUrl>

#include <algorithm>
#include <cstdint>

#include "app/slideshow.h"
#include "news/articlenumber.h"

namespace lumigrab {

namespace {

int ReadCount(const QSettings& settings, const char* name, int fallback, int least, int most)
{
    bool isNumber = false;
    const int value = settings.value(QLatin1String(name)).toString().trimmed().toInt(&isNumber);
    return isNumber && value >= least && value <= most ? value : fallback;
}

// true/false as QSettings writes them, or a number; anything else gives
// fallback.
bool ReadFlag(const QSettings& settings, const char* name, bool fallback)
{
    const QString text = settings.value(QLatin1String(name)).toString().trimmed().toLower();
    if (text == QLatin1String("true"))
        return true;
    if (text == QLatin1String("false"))
        return false;
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber ? number != 0 : fallback;
}

std::string ReadText(const QSettings& settings, const char* name)
{
    return settings.value(QLatin1String(name)).toString().toStdString();
}

int64_t ReadBytes(const QSettings& settings, const char* name)
{
    const std::optional<TArticleNumber> bytes
        = ParseArticleNumber(settings.value(QLatin1String(name)).toString().trimmed().toStdString());
    return bytes ? int64_t(std::min<uint64_t>(*bytes, INT64_MAX)) : 0;
}

// Group names are keys of their own: a slash in one must not open a
// subgroup.
QString GroupKey(const std::string& group)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(group)));
}

std::string GroupOfKey(const QString& key)
{
    return QUrl::fromPercentEncoding(key.toLatin1()).toStdString();
}

} // namespace

std::map<std::string, THeaderFilterSettings> ReadFilters(QSettings& settings)
{
    std::map<std::string, THeaderFilterSettings> filters;
    settings.beginGroup(QLatin1String(FiltersGroup));
    for (const QString& key : settings.childGroups()) {
        settings.beginGroup(key);
        THeaderFilterSettings& filter = filters[GroupOfKey(key)];
        filter.TakeSubjects = ReadText(settings, TakeSubjectsSetting);
        filter.SkipSubjects = ReadText(settings, SkipSubjectsSetting);
        filter.SkipPosters = ReadText(settings, SkipPostersSetting);
        filter.MinBytes = ReadBytes(settings, MinBytesSetting);
        filter.MaxBytes = ReadBytes(settings, MaxBytesSetting);
        settings.endGroup();
    }
    settings.endGroup();
    return filters;
}

void WriteFilters(QSettings& settings, const std::map<std::string, THeaderFilterSettings>& filters)
{
    settings.remove(QLatin1String(FiltersGroup));
    settings.beginGroup(QLatin1String(FiltersGroup));
    for (const auto& [group, filter] : filters) {
        if (filter == THeaderFilterSettings())
            continue;
        settings.beginGroup(GroupKey(group));
        settings.setValue(QLatin1String(TakeSubjectsSetting), QString::fromStdString(filter.TakeSubjects));
        settings.setValue(QLatin1String(SkipSubjectsSetting), QString::fromStdString(filter.SkipSubjects));
        settings.setValue(QLatin1String(SkipPostersSetting), QString::fromStdString(filter.SkipPosters));
        settings.setValue(QLatin1String(MinBytesSetting), QString::number(filter.MinBytes));
        settings.setValue(QLatin1String(MaxBytesSetting), QString::number(filter.MaxBytes));
        settings.endGroup();
    }
    settings.endGroup();
}

TWalkSettings ReadWalkSettings(const QSettings& settings)
{
    const TWalkSettings defaults;
    TWalkSettings walk;
    walk.StartBeforeEnd
        = ReadCount(settings, StartBeforeEndSetting, defaults.StartBeforeEnd, 0, MaxStartBeforeEnd);
    walk.JoinMultiPartPosts = ReadFlag(settings, JoinMultiPartPostsSetting, defaults.JoinMultiPartPosts);
    return walk;
}

int ReadConnections(const QSettings& settings)
{
    return ReadCount(settings, ConnectionsSetting, DefaultConnections, MinConnections, MaxConnections);
}

void WriteConnections(QSettings& settings, int connections)
{
    settings.setValue(QLatin1String(ConnectionsSetting), connections);
}

void WriteWalkSettings(QSettings& settings, const TWalkSettings& walk)
{
    settings.setValue(QLatin1String(StartBeforeEndSetting), walk.StartBeforeEnd);
    settings.setValue(QLatin1String(JoinMultiPartPostsSetting), walk.JoinMultiPartPosts);
}

TViewerSettings ReadViewerSettings(const QSettings& settings)
{
    TViewerSettings viewer;
    viewer.KeepFolder = ReadText(settings, KeepFolderSetting);
    viewer.SlideshowSeconds = ReadCount(settings, SlideshowSecondsSetting, DefaultSlideshowSeconds,
        MinSlideshowSeconds, MaxSlideshowSeconds);
    return viewer;
}

void WriteViewerSettings(QSettings& settings, const TViewerSettings& viewer)
{
    settings.setValue(QLatin1String(KeepFolderSetting), QString::fromStdString(viewer.KeepFolder));
    settings.setValue(QLatin1String(SlideshowSecondsSetting), viewer.SlideshowSeconds);
}

std::vector<TServerSettings> ReadFillServers(QSettings& settings)
{
    std::vector<TServerSettings> servers;
    const int count = std::min(settings.beginReadArray(QLatin1String(FillServersArray)), MaxFillServers);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        TServerSettings server;
        server.Server = QString::fromStdString(ReadText(settings, "Server")).trimmed().toStdString();
        server.UseTLS = ReadFlag(settings, "Use TLS", false);
        server.Connections = ReadCount(settings, ConnectionsSetting, 1, MinConnections, MaxConnections);
        server.UserName = QString::fromStdString(ReadText(settings, "User Name")).trimmed().toStdString();
        if (!server.Server.empty())
            servers.push_back(std::move(server));
    }
    settings.endArray();
    return servers;
}

void WriteFillServers(QSettings& settings, const std::vector<TServerSettings>& servers)
{
    settings.remove(QLatin1String(FillServersArray));
    settings.beginWriteArray(QLatin1String(FillServersArray));
    int index = 0;
    for (const TServerSettings& server : servers) {
        if (server.Server.empty() || index == MaxFillServers)
            continue;
        settings.setArrayIndex(index++);
        settings.setValue(QStringLiteral("Server"), QString::fromStdString(server.Server));
        settings.setValue(QStringLiteral("Use TLS"), server.UseTLS);
        settings.setValue(QLatin1String(ConnectionsSetting), server.Connections);
        settings.setValue(QStringLiteral("User Name"), QString::fromStdString(server.UserName));
    }
    settings.endArray();
}

} // namespace lumigrab
