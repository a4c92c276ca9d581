#include "TRTFormSrc.h"

#include <QGuiApplication>
#include <QSettings>

#include <optional>

namespace lumigrab {

namespace {

// Where a form without (complete) saved placement opens.
constexpr int DefaultTop = 25;
constexpr int DefaultLeft = 25;

std::optional<int> ReadInteger(const QSettings& settings, const QString& name)
{
    const QVariant value = settings.value(name);
    if (!value.isValid())
        return std::nullopt;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok ? std::optional<int>(number) : std::nullopt;
}

// Accepts what a Boolean may have been stored as: true/false or a number.
std::optional<bool> ReadBool(const QSettings& settings, const QString& name)
{
    const QVariant value = settings.value(name);
    if (!value.isValid())
        return std::nullopt;
    const QString text = value.toString().trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    if (const std::optional<int> number = ReadInteger(settings, name))
        return *number != 0;
    return std::nullopt;
}

} // namespace

std::unique_ptr<QSettings> OpenRegKey(const QString& regKey)
{
    QStringList parts = regKey.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (parts.size() > 1 && parts.front().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    const QString organization = parts.value(0);
    const QString application = parts.value(1);
    auto settings = std::make_unique<QSettings>(
        QSettings::NativeFormat, QSettings::UserScope, organization, application);
    if (parts.size() > 2)
        settings->beginGroup(parts.mid(2).join(QLatin1Char('/')));
    return settings;
}

TRTForm::TRTForm(QWidget* owner)
    : TGradientForm(owner)
    , hint_(QStringLiteral("Ready."))
{
}

TRTForm::~TRTForm()
{
    if (savePosition_ && !regKey_.isEmpty())
        SavePlacement();
}

void TRTForm::SetRegKey(const QString& key)
{
    regKey_ = key.startsWith(QLatin1Char('\\')) ? key.mid(1) : key;
}

void TRTForm::DoCreate()
{
    TGradientForm::DoCreate();
    SetGradientOnInactive(true);
    titleSaved_ = QGuiApplication::applicationDisplayName();
    if (savePosition_ && !regKey_.isEmpty())
        RestorePlacement();
}

void TRTForm::RestorePlacement()
{
    const std::unique_ptr<QSettings> settings = OpenRegKey(regKey_);
    if (!ReadPlacement(*settings))
        move(DefaultLeft, DefaultTop);
}

// Applies the values one by one, as they are read; false when one of them
// is missing or unreadable.
bool TRTForm::ReadPlacement(const QSettings& settings)
{
    const std::optional<bool> maximised = ReadBool(settings, QStringLiteral("WindowMaximised"));
    if (!maximised)
        return false;
    if (*maximised) {
        setWindowState(windowState() | Qt::WindowMaximized);
        return true;
    }
    const std::optional<int> top = ReadInteger(settings, QStringLiteral("Top"));
    if (!top)
        return false;
    move(x(), *top);
    const std::optional<int> left = ReadInteger(settings, QStringLiteral("Left"));
    if (!left)
        return false;
    move(*left, y());
    if (!saveSize_)
        return true;
    const std::optional<int> height = ReadInteger(settings, QStringLiteral("Height"));
    if (!height)
        return false;
    resize(width(), *height);
    const std::optional<int> width = ReadInteger(settings, QStringLiteral("Width"));
    if (!width)
        return false;
    resize(*width, this->height());
    return true;
}

void TRTForm::SavePlacement()
{
    const std::unique_ptr<QSettings> settings = OpenRegKey(regKey_);
    const QRect bounds = frameGeometry();
    settings->setValue(QStringLiteral("WindowMaximised"), isMaximized());
    settings->setValue(QStringLiteral("Top"), bounds.top());
    settings->setValue(QStringLiteral("Left"), bounds.left());
    settings->setValue(QStringLiteral("Height"), bounds.height());
    settings->setValue(QStringLiteral("Width"), bounds.width());
    settings->sync();
}

} // namespace lumigrab
