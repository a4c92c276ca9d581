#include "setupvalues.h"

#include <QSettings>

namespace lumigrab {

namespace {

int ReadCount(const QSettings& settings, const char* name, int fallback, int most)
{
    bool isNumber = false;
    const int value = settings.value(QLatin1String(name)).toString().trimmed().toInt(&isNumber);
    return isNumber && value >= 0 && value <= most ? value : fallback;
}

} // namespace

TWalkSettings ReadWalkSettings(const QSettings& settings)
{
    const TWalkSettings defaults;
    TWalkSettings walk;
    walk.StartBeforeEnd
        = ReadCount(settings, StartBeforeEndSetting, defaults.StartBeforeEnd, MaxStartBeforeEnd);
    return walk;
}

void WriteWalkSettings(QSettings& settings, const TWalkSettings& walk)
{
    settings.setValue(QLatin1String(StartBeforeEndSetting), walk.StartBeforeEnd);
}

} // namespace lumigrab
