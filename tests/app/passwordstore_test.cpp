// Keeping the news server password without a keyring: the settings file,
// closed to other users however it is rewritten.
#include "app/passwordstore.h"

#include <QCoreApplication>
#include <QSettings>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/qt_environment.h"
#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using TPlace = TPasswordStore::TPlace;

// No keyring may answer in the tests, whatever the desktop runs: the
// user's own keyring must stay untouched.
const bool keyringUnreachable
    = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lumigrab-test-bus");

constexpr fs::perms OwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

fs::perms PermissionsOf(const fs::path& file)
{
    return fs::status(file).permissions() & fs::perms::all;
}

TEST(PasswordStore, WithoutAKeyringTheSettingsFileKeepsItForItsOwnerOnly)
{
    ASSERT_TRUE(keyringUnreachable);
    for (bool useKeyring : { true, false }) {
        SCOPED_TRACE(useKeyring ? "no keyring answers" : "keyring not used");
        ScratchFolder folder;
        const fs::path file = folder.Path() / "Lumi.conf";
        {
            QSettings settings(QString::fromStdString(file.string()), QSettings::IniFormat);
            settings.setValue("Server", "news.example.org");
            settings.sync();
            fs::permissions(file, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add);
            TPasswordStore store(settings, useKeyring);
            EXPECT_EQ(store.Write("news.example.org", "reader", "s3cret"), TPlace::SettingsFile);
            EXPECT_EQ(PermissionsOf(file), OwnerOnly);
            // Later writes of other settings keep the file closed.
            settings.setValue("Group", "alt.binaries.pictures");
            settings.sync();
            EXPECT_EQ(PermissionsOf(file), OwnerOnly);
        }
        {
            QSettings settings(QString::fromStdString(file.string()), QSettings::IniFormat);
            TPasswordStore store(settings, useKeyring);
            EXPECT_EQ(store.Read("news.example.org", "reader"), "s3cret");
            EXPECT_EQ(store.Place(), TPlace::SettingsFile);
            EXPECT_EQ(settings.value("Server").toString(), "news.example.org");

            EXPECT_EQ(store.Write("news.example.org", "reader", ""), TPlace::None);
            EXPECT_EQ(ReadFileBytes(file).find("s3cret"), std::string::npos);
            EXPECT_EQ(store.Read("news.example.org", "reader"), "");
            EXPECT_EQ(store.Place(), TPlace::None);
        }
    }
}

TEST(PasswordStore, ReadingClosesAFileThatWasOpenedToOthers)
{
    ScratchFolder folder;
    const fs::path file = folder.Path() / "Lumi.conf";
    std::ofstream(file) << "[General]\nPassword=restored\n";
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    QSettings settings(QString::fromStdString(file.string()), QSettings::IniFormat);
    TPasswordStore store(settings, false);
    EXPECT_EQ(store.Read("news.example.org", "reader"), "restored");
    EXPECT_EQ(PermissionsOf(file), OwnerOnly);
}

} // namespace
} // namespace lumigrab
