// The setup dialog: the server name, how it is reached (TLS, the account
// and its password), the header batch, and Get Groups against a scripted
// server (the picture filter, the file written whole or not at all, the
// hourglass, Cancel during the transfer).
#include <gtest/gtest.h>

#include <filesystem>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/nntpsu.h"
#include "base/classes.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::FakeNewsGroup;
using testing::ReadFile;
using testing::ScriptServer;
using testing::When;
using testing::WindowTest;
using testing::WriteFile;

TEST(KeepPictureGroups, KeepsTheNamesOfLinesThatSayPicture)
{
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        { "mixed list",
            { "alt.binaries.pictures.misc 900 100 y", "comp.lang.misc 50 1 y",
                "alt.pictures.fractals 12 3 m" },
            { "alt.binaries.pictures.misc", "alt.pictures.fractals" } },
        { "capitals only", { "alt.Pictures.caps 1 1 y", "ALT.PICTURE 1 1 y" }, {} },
        { "consecutive misses", { "a 1 1 y", "b 1 1 y", "c.picture 1 1 y", "d 1 1 y" }, { "c.picture" } },
        { "no blank", { "alt.picture" }, { "alt.picture" } },
        { "picture after the name", { "alt.aliased 0 1 =alt.pictures.real" }, { "alt.aliased" } },
        { "leading blank", { " alt.pictures 1 1 y" }, { "" } },
        { "empty", {}, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList lines;
        for (const std::string& line : c.lines)
            lines.Add(line);
        KeepPictureGroups(lines);
        EXPECT_EQ(lines.Lines(), c.kept);
    }
}

class SetupTest : public WindowTest {
protected:
    std::shared_ptr<FakeNewsGroup> group = std::make_shared<FakeNewsGroup>();
    std::unique_ptr<ScriptServer> server;

    void SetUp() override
    {
        WindowTest::SetUp();
        group->listReply = "215 newsgroups follow\r\n"
                           "alt.binaries.pictures.misc 900 100 y\r\n"
                           "comp.lang.misc 50 1 y\r\n"
                           "alt.pictures.fractals 12 3 m\r\n"
                           "alt.Pictures.caps 1 1 y\r\n"
                           ".\r\n";
        server = std::make_unique<ScriptServer>(
            [group = group](const std::string& command) { return group->Reply(command); },
            "200 scripted news server\r\n");
    }

    TSetupDlg& OpenSetup()
    {
        window->SetupButton->click();
        TSetupDlg* setup = window->findChild<TSetupDlg*>();
        EXPECT_NE(setup, nullptr);
        EXPECT_TRUE(setup->isVisible());
        return *setup;
    }

    QString ServerAddress() const { return QString::fromStdString(server->Address()); }
};

TEST_F(SetupTest, OpeningSetsTheBatchAndOnlyOKTakesTheServer)
{
    for (const bool ok : { true, false }) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        TfrmMain& form = Start();
        TSetupDlg& setup = OpenSetup();
        EXPECT_EQ(setup.windowTitle(), "Setup");
        EXPECT_EQ(setup.ServerEdit->text(), "news");
        EXPECT_EQ(form.HeaderBatch(), 5000);
        setup.ServerEdit->setText("news.example.org");
        // Enter in the edit does not close the dialog; on OK it does.
        QTest::keyClick(setup.ServerEdit, Qt::Key_Return);
        EXPECT_TRUE(setup.isVisible());
        if (ok) {
            setup.OKButton->setFocus();
            QTest::keyClick(setup.OKButton, Qt::Key_Return);
        } else {
            QTest::keyClick(&setup, Qt::Key_Escape);
        }
        EXPECT_FALSE(setup.isVisible());
        EXPECT_EQ(form.msNNTP->Server, ok ? "news.example.org" : "news");
        EXPECT_EQ(form.HeaderBatch(), 5000);
        window.reset();
    }
}

// How the server is reached comes from the settings, only OK takes the
// changes, and the window keeps them for the next start: the password
// through the password store, here in the settings file as no keyring
// answers.
TEST_F(SetupTest, ConnectionFieldsAreKeptForTheNextStart)
{
    for (const bool ok : { false, true }) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        WriteSettings({ { "Use TLS", "false" }, { "User Name", "old" }, { "Password", "old pass" } });
        Start();
        TSetupDlg& setup = OpenSetup();
        EXPECT_FALSE(setup.UseTLSCheck->isChecked());
        EXPECT_EQ(setup.UserNameEdit->text(), "old");
        EXPECT_EQ(setup.PasswordEdit->text(), "old pass");
        EXPECT_EQ(setup.PasswordEdit->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(setup.PasswordNote->text().contains("settings file"))
            << setup.PasswordNote->text().toStdString();
        setup.UseTLSCheck->setChecked(true);
        setup.UserNameEdit->setText(" reader ");
        setup.PasswordEdit->setText("s3cret");
        (ok ? setup.OKButton : setup.CancelButton)->click();
        window->close();
        window.reset();
        EXPECT_EQ(ReadSetting("Use TLS").toBool(), ok);
        EXPECT_EQ(ReadSetting("User Name").toString(), ok ? "reader" : "old");
        EXPECT_EQ(ReadSetting("Password").toString(), ok ? "s3cret" : "old pass");
        namespace fs = std::filesystem;
        EXPECT_EQ(fs::status(SettingsFile().toStdString()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

        TfrmMain& again = Start();
        EXPECT_EQ(again.msNNTP->UseTLS, ok);
        EXPECT_EQ(again.msNNTP->UserName, ok ? "reader" : "old");
        EXPECT_EQ(again.msNNTP->Password, ok ? "s3cret" : "old pass");
        window->close();
        window.reset();
        QFile::remove(SettingsFile());
    }
}

TEST_F(SetupTest, GetGroupsWritesThePictureGroupsAndKeepsTheTypedServer)
{
    TfrmMain& form = Start();
    const QStringList groupsBefore = { form.NGEdit->itemText(0), form.NGEdit->itemText(176) };
    TSetupDlg& setup = OpenSetup();
    setup.ServerEdit->setText(ServerAddress());
    setup.btnGetGroup->click();

    EXPECT_EQ(TakeErrorBoxes(&setup), QStringList());
    EXPECT_EQ(ReadFile(DataFile()), "alt.binaries.pictures.misc\r\nalt.pictures.fractals\r\n");
    ASSERT_EQ(form.msNNTP->NewsGroupList.Count(), 2);
    EXPECT_EQ(form.msNNTP->NewsGroupList.Groups(1).GroupName, "alt.pictures.fractals");
    EXPECT_EQ(form.msNNTP->NewsGroupList.Groups(1).FirstArticle, -1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The drop-down changes at the next start only.
    EXPECT_EQ(form.NGEdit->count(), 177);
    EXPECT_EQ((QStringList { form.NGEdit->itemText(0), form.NGEdit->itemText(176) }), groupsBefore);

    setup.CancelButton->click();
    EXPECT_FALSE(setup.isVisible());
    EXPECT_EQ(form.msNNTP->Server, server->Address());
}

// A failed fetch leaves the previous file as it was and says why in an
// error box.
TEST_F(SetupTest, FailedGetGroupsKeepsThePreviousFile)
{
    struct Failure {
        const char* name;
        std::function<std::unique_ptr<ScriptServer>()> serve;
        std::function<void(TSetupDlg&)> during;
        // Empty: whatever the transport calls a connection cut short.
        QString message;
    };
    auto replying = [this](std::string listReply) {
        return [this, listReply] {
            group->listReply = listReply;
            return std::make_unique<ScriptServer>(
                [group = group](const std::string& command) { return group->Reply(command); },
                "200 scripted news server\r\n");
        };
    };
    const Failure failures[] = {
        { "error reply", replying("502 listing not permitted\r\n"), nullptr, "502 listing not permitted" },
        { "server hangs up halfway",
            [] {
                return std::make_unique<ScriptServer>(
                    std::vector<testing::Step> { testing::Send("200 ready\r\n"), testing::ReadLine(),
                        testing::Send("215 newsgroups follow\r\nalt.pictures 1 1 y\r\n"),
                        testing::CloseConnection() });
            },
            nullptr, "" },
        { "Cancel while waiting", replying(""), [](TSetupDlg& setup) { setup.CancelButton->click(); },
            "Operation has been canceled" },
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        WriteFile(DataFile(), "old.pictures\r\n");
        server = failure.serve();
        TfrmMain& form = Start();
        TSetupDlg& setup = OpenSetup();
        setup.ServerEdit->setText(ServerAddress());
        if (failure.during) {
            When([this] { return !server->Lines().empty() && server->Lines().back() == "LIST"; },
                [&] { failure.during(setup); });
        }
        setup.btnGetGroup->click();

        const QStringList boxes = TakeErrorBoxes(&setup);
        ASSERT_EQ(boxes.size(), 1);
        if (failure.message.isEmpty())
            EXPECT_FALSE(boxes[0].isEmpty());
        else
            EXPECT_EQ(boxes[0], failure.message);
        EXPECT_EQ(ReadFile(DataFile()), "old.pictures\r\n");
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_TRUE(setup.isVisible());
        EXPECT_EQ(form.msNNTP->Server, server->Address());
        window.reset();
    }
}

} // namespace
} // namespace lumigrab
