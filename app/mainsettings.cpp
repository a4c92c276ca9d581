#include "mainsettings.h"

#include <QSettings>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <memory>

#include "TRTFormSrc.h"
#include "app/passwordstore.h"

namespace lumigrab {

namespace {

const char* const TrustedCertificatesGroup = "Trusted Certificates";

QString FromBytes(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string ToBytes(const QString& text)
{
    return text.toStdString();
}

// Host names are not case-sensitive; a trusted certificate belongs to the
// server whatever the case it is typed in.
QString ServerKey(const QString& server)
{
    return server.trimmed().toLower();
}

// A Boolean setting as a person or another program may have written it:
// true/false, yes/no, on/off or a number; anything else gives fallback.
bool ReadBoolSetting(const QSettings& settings, const QString& name, bool fallback)
{
    const QString text = settings.value(name).toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("on"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("off"))
        return false;
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber ? number != 0 : fallback;
}

// Without a keyring, a fill server's password goes into the settings file
// under a group of its own account, never over the server's.
QString FillPasswordGroup(const TServerSettings& fill)
{
    const QString account = FromBytes(fill.UserName + "@" + fill.Server);
    return QStringLiteral("Fill Server Passwords/") + QString::fromLatin1(QUrl::toPercentEncoding(account));
}

} // namespace

TMainSettings::TMainSettings(QString key)
    : key_(std::move(key))
{
}

void TMainSettings::Read(TServerSettings& server)
{
    const std::unique_ptr<QSettings> settings = OpenRegKey(key_);
    const QVariant name = settings->value(QStringLiteral("Server"));
    if (!name.isValid())
        server.Server.clear();
    else if (name.typeId() == QMetaType::QString)
        server.Server = ToBytes(name.toString());
    else
        server.Server = DefaultServer;
    EMailAddress = settings->value(QStringLiteral("EMail Address")).toString();
    UserName = settings->value(QStringLiteral("Name")).toString();
    server.LogFileName = ToBytes(settings->value(QStringLiteral("Log File")).toString());
    server.UseTLS = ReadBoolSetting(*settings, QStringLiteral("Use TLS"), false);
    server.UserName = ToBytes(settings->value(QStringLiteral("User Name")).toString());
    server.Connections = ReadConnections(*settings);
    server.CompressHeaders = ReadBoolSetting(*settings, QLatin1String(CompressHeadersSetting), true);
    Walk = ReadWalkSettings(*settings);
    Filters = ReadFilters(*settings);
    FillServers = ReadFillServers(*settings);
    Viewer = ReadViewerSettings(*settings);
    settings->beginGroup(QLatin1String(TrustedCertificatesGroup));
    for (const QString& key : settings->childKeys())
        trustedCertificates_.insert(ServerKey(key), settings->value(key).toString().trimmed());
    settings->endGroup();
}

// Only an account has a password; asking a keyring without one could
// bring up an unlock prompt for nothing.
THeaderFilterSettings TMainSettings::FilterOf(const std::string& group) const
{
    const auto found = Filters.find(group);
    return found == Filters.end() ? THeaderFilterSettings() : found->second;
}

void TMainSettings::ReadPassword(TServerSettings& server)
{
    const bool fillAccounts = std::any_of(FillServers.begin(), FillServers.end(),
        [](const TServerSettings& fill) { return !fill.UserName.empty(); });
    if (server.UserName.empty() && !fillAccounts)
        return;
    const std::unique_ptr<QSettings> settings = OpenRegKey(key_);
    TPasswordStore store(*settings);
    if (!server.UserName.empty()) {
        server.Password = store.Read(server.Server, server.UserName);
        passwordKey_ = { server.Server, server.UserName };
    }
    bool keyringAnswered = store.KeyringAnswered();
    for (TServerSettings& fill : FillServers) {
        if (fill.UserName.empty())
            continue;
        settings->beginGroup(FillPasswordGroup(fill));
        TPasswordStore fillStore(*settings);
        fill.Password = fillStore.Read(fill.Server, fill.UserName);
        keyringAnswered = keyringAnswered || fillStore.KeyringAnswered();
        settings->endGroup();
        fillPasswords_[{ fill.Server, fill.UserName }] = fill.Password;
    }
    keyringRuns_ = keyringAnswered;
}

void TMainSettings::Write(const TServerSettings& server)
{
    const std::unique_ptr<QSettings> settings = OpenRegKey(key_);
    settings->setValue(QStringLiteral("Server"), FromBytes(server.Server));
    settings->setValue(QStringLiteral("EMail Address"), EMailAddress);
    settings->setValue(QStringLiteral("Name"), UserName);
    settings->setValue(QStringLiteral("Log File"), FromBytes(server.LogFileName));
    settings->setValue(QStringLiteral("Use TLS"), server.UseTLS);
    settings->setValue(QStringLiteral("User Name"), FromBytes(server.UserName));
    WriteConnections(*settings, server.Connections);
    settings->setValue(QLatin1String(CompressHeadersSetting), server.CompressHeaders);
    WriteWalkSettings(*settings, Walk);
    WriteFilters(*settings, Filters);
    WriteFillServers(*settings, FillServers);
    WriteViewerSettings(*settings, Viewer);
    settings->remove(QLatin1String(TrustedCertificatesGroup));
    settings->beginGroup(QLatin1String(TrustedCertificatesGroup));
    for (auto trusted = trustedCertificates_.cbegin(); trusted != trustedCertificates_.cend(); ++trusted)
        settings->setValue(trusted.key(), trusted.value());
    settings->endGroup();
    settings->sync();
    WritePassword(*settings, server);
    WriteFillPasswords(*settings);
    if (settings->status() != QSettings::NoError)
        qWarning("lumigrab: the settings could not be written to %s", qPrintable(settings->fileName()));
}

// Through the store, and only when there is something new to keep: the
// keyring may ask the user to unlock it.
void TMainSettings::WritePassword(QSettings& settings, const TServerSettings& server)
{
    if (server.UserName.empty())
        return;
    const std::pair<std::string, std::string> key { server.Server, server.UserName };
    if (!passwordChanged_ && key == passwordKey_)
        return;
    TPasswordStore store(settings);
    store.Write(key.first, key.second, server.Password);
    passwordKey_ = key;
    passwordChanged_ = false;
}

void TMainSettings::WriteFillPasswords(QSettings& settings)
{
    for (const TServerSettings& fill : FillServers) {
        if (fill.UserName.empty())
            continue;
        const std::pair<std::string, std::string> key { fill.Server, fill.UserName };
        const auto known = fillPasswords_.find(key);
        if (known != fillPasswords_.end() && known->second == fill.Password)
            continue;
        settings.beginGroup(FillPasswordGroup(fill));
        TPasswordStore(settings).Write(key.first, key.second, fill.Password);
        settings.endGroup();
        fillPasswords_[key] = fill.Password;
    }
}

QString TMainSettings::TrustedCertificate(const QString& server) const
{
    return trustedCertificates_.value(ServerKey(server));
}

void TMainSettings::TrustCertificate(const QString& server, const QString& fingerprint)
{
    trustedCertificates_.insert(ServerKey(server), fingerprint);
}

bool TMainSettings::PasswordInSettingsFile()
{
    if (!keyringRuns_) {
        const std::unique_ptr<QSettings> settings = OpenRegKey(key_);
        keyringRuns_ = TPasswordStore(*settings).ProbeKeyring();
    }
    return !*keyringRuns_;
}

} // namespace lumigrab
