#include "setupvalues.h"

#include <QSettings>

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

} // namespace

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

} // namespace lumigrab
