#include "app/passwordstore.h"

#include <QEventLoop>
#include <QFile>

#include <qt6keychain/keychain.h>

namespace lumigrab {

namespace {

const char* const KeyringService = "Lumigrab";

QString KeyringKey(const std::string& server, const std::string& user)
{
    return QString::fromStdString(user + "@" + server);
}

// Runs a keyring job to its end; true when it succeeded.
bool Finish(QKeychain::Job& job)
{
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    return job.error() == QKeychain::NoError;
}

// A keyring that says it holds no such entry runs all the same.
bool Answered(const QKeychain::Job& job)
{
    return job.error() == QKeychain::NoError || job.error() == QKeychain::EntryNotFound;
}

} // namespace

TPasswordStore::TPasswordStore(QSettings& settings, bool useKeyring)
    : settings_(settings)
    , useKeyring_(useKeyring)
{
}

std::string TPasswordStore::Read(const std::string& server, const std::string& user)
{
    if (useKeyring_) {
        QKeychain::ReadPasswordJob job(KeyringService);
        job.setKey(KeyringKey(server, user));
        const bool found = Finish(job);
        keyringAnswered_ = Answered(job);
        if (found) {
            place_ = TPlace::Keyring;
            return job.textData().toStdString();
        }
    }
    if (settings_.contains(SettingName)) {
        // The file may have been copied or restored with wider rights.
        RestrictSettingsFile();
        place_ = TPlace::SettingsFile;
        return settings_.value(SettingName).toString().toStdString();
    }
    place_ = TPlace::None;
    return {};
}

TPasswordStore::TPlace TPasswordStore::Write(
    const std::string& server, const std::string& user, const std::string& password)
{
    place_ = TPlace::None;
    if (password.empty()) {
        if (useKeyring_) {
            QKeychain::DeletePasswordJob job(KeyringService);
            job.setKey(KeyringKey(server, user));
            Finish(job);
            keyringAnswered_ = Answered(job);
        }
    } else if (useKeyring_) {
        QKeychain::WritePasswordJob job(KeyringService);
        job.setKey(KeyringKey(server, user));
        job.setTextData(QString::fromStdString(password));
        if (Finish(job))
            place_ = TPlace::Keyring;
        keyringAnswered_ = place_ == TPlace::Keyring;
    }
    if (place_ == TPlace::Keyring || password.empty()) {
        // No copy stays behind in the file.
        settings_.remove(SettingName);
        settings_.sync();
        return place_;
    }
    // Closed to others before the password goes in; the settings file is
    // rewritten through a temporary file that keeps these rights.
    settings_.sync();
    RestrictSettingsFile();
    settings_.setValue(SettingName, QString::fromStdString(password));
    settings_.sync();
    RestrictSettingsFile();
    place_ = TPlace::SettingsFile;
    return place_;
}

bool TPasswordStore::ProbeKeyring()
{
    keyringAnswered_ = false;
    if (useKeyring_) {
        // A key no password is kept under.
        QKeychain::ReadPasswordJob job(KeyringService);
        job.setKey(QStringLiteral("@"));
        Finish(job);
        keyringAnswered_ = Answered(job);
    }
    return keyringAnswered_;
}

void TPasswordStore::RestrictSettingsFile()
{
    QFile file(settings_.fileName());
    if (!file.exists()) {
        // Created empty, so that the first write keeps its rights.
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.close();
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace lumigrab
