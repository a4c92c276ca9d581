// The setup dialog: the server name, how it is reached (TLS, the account
// and its password), the header batch, and Get Groups against a scripted
// server (the picture filter, the file written whole or not at all, the
// hourglass, Cancel during the transfer).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>

#include "app/fillserverlist.h"
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

int Count(const std::vector<std::string>& lines, const std::string& line)
{
    return int(std::count(lines.begin(), lines.end(), line));
}

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

// How the server is reached and where new groups start come from the
// settings, only OK takes the changes, and the window keeps them for the
// next start: the password through the password store, here in the
// settings file as no keyring answers.
TEST_F(SetupTest, SetupValuesAreKeptForTheNextStart)
{
    const QString startSetting = "Start new groups this many articles before their end";
    for (const bool ok : { false, true }) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        WriteSettings({ { "Use TLS", "false" }, { "User Name", "old" }, { "Password", "old pass" } });
        TfrmMain& form = Start();
        EXPECT_EQ(form.msNNTP->StartBeforeEnd, 0);
        TSetupDlg& setup = OpenSetup();
        EXPECT_FALSE(setup.UseTLSCheck->isChecked());
        EXPECT_EQ(setup.UserNameEdit->text(), "old");
        EXPECT_EQ(setup.PasswordEdit->text(), "old pass");
        EXPECT_EQ(setup.PasswordEdit->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(setup.PasswordNote->text().contains("settings file"))
            << setup.PasswordNote->text().toStdString();
        EXPECT_EQ(setup.StartBeforeEndSpin->value(), 0);
        EXPECT_TRUE(setup.JoinMultiPartCheck->isChecked());
        EXPECT_TRUE(setup.CompressHeadersCheck->isChecked());
        EXPECT_EQ(setup.ConnectionsSpin->value(), 4);
        EXPECT_EQ(setup.ConnectionsSpin->minimum(), 1);
        EXPECT_EQ(setup.ConnectionsSpin->maximum(), 50);
        setup.JoinMultiPartCheck->setChecked(false);
        setup.CompressHeadersCheck->setChecked(false);
        setup.UseTLSCheck->setChecked(true);
        setup.UserNameEdit->setText(" reader ");
        setup.PasswordEdit->setText("s3cret");
        // Typed, not yet taken by the spin box: OK takes it all the same.
        setup.StartBeforeEndSpin->findChild<QLineEdit*>()->setText("2500");
        setup.ConnectionsSpin->findChild<QLineEdit*>()->setText("8");
        (ok ? setup.OKButton : setup.CancelButton)->click();
        EXPECT_EQ(form.msNNTP->StartBeforeEnd, ok ? 2500 : 0);
        window->close();
        window.reset();
        EXPECT_EQ(ReadSetting("Use TLS").toBool(), ok);
        EXPECT_EQ(ReadSetting("User Name").toString(), ok ? "reader" : "old");
        EXPECT_EQ(ReadSetting("Password").toString(), ok ? "s3cret" : "old pass");
        EXPECT_EQ(ReadSetting(startSetting).toInt(), ok ? 2500 : 0);
        EXPECT_EQ(ReadSetting("Join multi-part posts").toBool(), !ok);
        EXPECT_EQ(ReadSetting("Compress headers").toBool(), !ok);
        EXPECT_EQ(ReadSetting("Connections").toInt(), ok ? 8 : 4);
        namespace fs = std::filesystem;
        EXPECT_EQ(fs::status(SettingsFile().toStdString()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

        TfrmMain& again = Start();
        EXPECT_EQ(again.msNNTP->UseTLS, ok);
        EXPECT_EQ(again.msNNTP->Compress, !ok);
        EXPECT_EQ(again.msNNTP->UserName, ok ? "reader" : "old");
        EXPECT_EQ(again.msNNTP->Password, ok ? "s3cret" : "old pass");
        EXPECT_EQ(again.msNNTP->StartBeforeEnd, ok ? 2500 : 0);
        TSetupDlg& reopened = OpenSetup();
        EXPECT_EQ(reopened.StartBeforeEndSpin->value(), ok ? 2500 : 0);
        EXPECT_EQ(reopened.JoinMultiPartCheck->isChecked(), !ok);
        EXPECT_EQ(reopened.ConnectionsSpin->value(), ok ? 8 : 4);
        window->close();
        window.reset();
        QFile::remove(SettingsFile());
    }
}

// Each group has filters of its own, kept for the next start; OK refuses
// one that cannot be used, with the reason, and the dialog stays open.
TEST_F(SetupTest, FiltersAreKeptPerGroupAndABadOneIsRefused)
{
    const QString group = "alt.binaries.pictures.misc";
    TfrmMain& form = Start();
    form.NGEdit->setCurrentText(group);
    TSetupDlg& setup = OpenSetup();
    EXPECT_EQ(setup.FiltersLabel->text(), "Filters for " + group);
    EXPECT_EQ(setup.SkipSubjectsEdit->text(), "");
    setup.SkipSubjectsEdit->setText("(par2");
    setup.OKButton->click();
    EXPECT_TRUE(setup.isVisible());
    EXPECT_EQ(TakeErrorBoxes(&setup), QStringList { "Subjects to skip: missing closing parenthesis at offset 5" });
    setup.SkipSubjectsEdit->setText("par2|nfo");
    setup.MinBytesEdit->setText("20000");
    setup.OKButton->click();
    EXPECT_FALSE(setup.isVisible());
    window->close();
    window.reset();
    EXPECT_EQ(ReadSetting("Filters/" + group + "/Subjects to skip").toString(), "par2|nfo");
    EXPECT_EQ(ReadSetting("Filters/" + group + "/Smallest size").toString(), "20000");

    TfrmMain& again = Start();
    const QString other = again.NGEdit->itemText(again.NGEdit->itemText(0) == group ? 1 : 0);
    for (const QString& shown : { group, other }) {
        SCOPED_TRACE(shown.toStdString());
        again.NGEdit->setCurrentText(shown);
        ASSERT_EQ(again.NGEdit->currentText(), shown);
        TSetupDlg& reopened = OpenSetup();
        const bool filtered = shown == group;
        EXPECT_EQ(reopened.SkipSubjectsEdit->text(), filtered ? "par2|nfo" : "");
        EXPECT_EQ(reopened.MinBytesEdit->text(), filtered ? "20000" : "");
        reopened.CancelButton->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Add, Up and Remove set the order; each fill server keeps its own fields,
// and its password goes where the server's does, beside it, never over it.
TEST_F(SetupTest, FillServersAreKeptInOrderWithTheirAccounts)
{
    WriteSettings({ { "User Name", "main" }, { "Password", "main pass" } });
    Start();
    TSetupDlg& setup = OpenSetup();
    TFillServerList& fill = *setup.FillServers;
    EXPECT_FALSE(fill.ServerEdit->isEnabled());
    const auto add = [&](const QString& name, bool tls, const QString& user, const QString& password) {
        fill.AddButton->click();
        fill.ServerEdit->setText(name);
        fill.UseTLSCheck->setChecked(tls);
        fill.UserNameEdit->setText(user);
        fill.PasswordEdit->setText(password);
    };
    add("fill1.test", false, " u1 ", "p1");
    add("fill2.test:563", true, "", "");
    fill.ConnectionsSpin->setValue(3);
    fill.UpButton->click();
    add("gone.test", false, "", "");
    fill.RemoveButton->click();
    fill.AddButton->click();
    EXPECT_EQ(fill.List->count(), 3);
    setup.OKButton->click();
    window->close();
    window.reset();
    const std::vector<std::pair<QString, QVariant>> kept = { { "Fill Servers/size", 2 },
        { "Fill Servers/1/Server", "fill2.test:563" }, { "Fill Servers/1/Use TLS", true },
        { "Fill Servers/1/Connections", 3 }, { "Fill Servers/2/Connections", 1 },
        { "Fill Servers/2/Server", "fill1.test" }, { "Fill Servers/2/User Name", "u1" },
        { "Fill Server Passwords/u1%40fill1.test/Password", "p1" }, { "Password", "main pass" } };
    for (const auto& [name, value] : kept)
        EXPECT_EQ(ReadSetting(name).toString(), value.toString()) << name.toStdString();

    Start();
    TFillServerList& again = *OpenSetup().FillServers;
    ASSERT_EQ(again.List->count(), 2);
    EXPECT_EQ(again.ServerEdit->text(), "fill2.test:563");
    EXPECT_TRUE(again.UseTLSCheck->isChecked());
    again.DownButton->click();
    EXPECT_EQ(again.List->currentRow(), 1);
    EXPECT_EQ(again.ServerEdit->text(), "fill2.test:563");
    again.List->setCurrentRow(0);
    EXPECT_EQ(again.ServerEdit->text(), "fill1.test");
    EXPECT_EQ(again.PasswordEdit->text(), "p1");
}

TEST(ReadWalkSettings, TakesCountsInRangeOnly)
{
    struct Case {
        const char* setting;
        int (*field)(const QSettings&);
        QVariant stored;
        int read;
    };
    const auto start = [](const QSettings& settings) { return ReadWalkSettings(settings).StartBeforeEnd; };
    const auto connections = ReadConnections;
    const Case cases[] = { { StartBeforeEndSetting, start, {}, 0 },
        { StartBeforeEndSetting, start, "12", 12 }, { StartBeforeEndSetting, start, " 7 ", 7 },
        { StartBeforeEndSetting, start, 99999999, 99999999 }, { StartBeforeEndSetting, start, "-3", 0 },
        { StartBeforeEndSetting, start, "many", 0 }, { StartBeforeEndSetting, start, "100000000", 0 },
        { StartBeforeEndSetting, start, "99999999999", 0 }, { ConnectionsSetting, connections, {}, 4 },
        { ConnectionsSetting, connections, "1", 1 }, { ConnectionsSetting, connections, 50, 50 },
        { ConnectionsSetting, connections, "0", 4 }, { ConnectionsSetting, connections, "51", 4 },
        { ConnectionsSetting, connections, "-2", 4 }, { ConnectionsSetting, connections, "eight", 4 } };
    QTemporaryDir folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " = " + c.stored.toString().toStdString());
        QSettings settings(folder.filePath("walk.conf"), QSettings::IniFormat);
        settings.clear();
        if (c.stored.isValid())
            settings.setValue(c.setting, c.stored);
        EXPECT_EQ(c.field(settings), c.read);
    }
}

// Two scripted servers with the same group; both take any login.
class ReconnectTest : public SetupTest {
protected:
    std::shared_ptr<FakeNewsGroup> otherGroup = std::make_shared<FakeNewsGroup>();
    std::unique_ptr<ScriptServer> other;

    void SetUp() override
    {
        SetupTest::SetUp();
        group->articles = { { "notes", 10 } };
        otherGroup->articles = { { "notes", 10 }, { "more notes", 10 } };
        otherGroup->listReply = "215 newsgroups follow\r\nalt.pictures.elsewhere 9 1 y\r\n.\r\n";
        server = Serve(group);
        other = Serve(otherGroup);
    }

    static std::unique_ptr<ScriptServer> Serve(std::shared_ptr<FakeNewsGroup> fake)
    {
        return std::make_unique<ScriptServer>(
            [fake](const std::string& command) -> std::optional<std::string> {
                if (command.starts_with("AUTHINFO USER"))
                    return "381 password please\r\n";
                if (command.starts_with("AUTHINFO PASS"))
                    return "281 welcome\r\n";
                return fake->Reply(command);
            },
            "200 scripted news server\r\n");
    }

    // Connected to the first server, logged in, after a Go on its group.
    TfrmMain& StartConnected()
    {
        TfrmMain& form = Start();
        UseServer(*server);
        form.msNNTP->UserName = "reader";
        form.msNNTP->Password = "old";
        form.NGEdit->setCurrentText(QString::fromStdString(group->name));
        form.okClick();
        EXPECT_EQ(TakeErrorBoxes(), QStringList());
        EXPECT_TRUE(form.msNNTP->Connected());
        return form;
    }
};

// A change of how the server is reached in Setup ends the open connection
// (with QUIT), and the next Go connects with the new values and selects
// the group afresh; other changes keep the connection.
TEST_F(ReconnectTest, ChangingHowTheServerIsReachedEndsTheConnection)
{
    struct Change {
        const char* name;
        std::function<void(TSetupDlg&)> edit;
        bool closes;
        // Where the next Go goes: the first server or the other one.
        bool toOther;
        std::vector<std::string> login;
    };
    const Change changes[] = {
        { "nothing", [](TSetupDlg&) {}, false, false, {} },
        { "walk start only", [](TSetupDlg& setup) { setup.StartBeforeEndSpin->setValue(5); }, false, false,
            {} },
        { "connections only", [](TSetupDlg& setup) { setup.ConnectionsSpin->setValue(9); }, false, false,
            {} },
        { "server",
            [this](TSetupDlg& setup) { setup.ServerEdit->setText(QString::fromStdString(other->Address())); },
            true, true, { "AUTHINFO USER reader", "AUTHINFO PASS old" } },
        { "user name", [](TSetupDlg& setup) { setup.UserNameEdit->setText("someone"); }, true, false,
            { "AUTHINFO USER someone", "AUTHINFO PASS old" } },
        { "password", [](TSetupDlg& setup) { setup.PasswordEdit->setText("pw"); }, true, false,
            { "AUTHINFO USER reader", "AUTHINFO PASS pw" } },
        { "TLS", [](TSetupDlg& setup) { setup.UseTLSCheck->setChecked(true); }, true, false, {} },
        { "compression", [](TSetupDlg& setup) { setup.CompressHeadersCheck->setChecked(false); }, true, false,
            { "AUTHINFO USER reader", "AUTHINFO PASS old" } },
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        TfrmMain& form = StartConnected();
        const int acceptedBefore = server->Accepted();
        const int otherBefore = other->Accepted();
        const size_t linesBefore = server->Lines().size();
        TSetupDlg& setup = OpenSetup();
        change.edit(setup);
        setup.OKButton->click();
        EXPECT_FALSE(setup.isVisible());
        EXPECT_EQ(TakeErrorBoxes(), QStringList());
        EXPECT_EQ(form.msNNTP->Connected(), !change.closes);
        const std::vector<std::string> all = server->Lines();
        EXPECT_EQ(Count(std::vector(all.begin() + linesBefore, all.end()), "QUIT"), change.closes ? 1 : 0);
        if (change.name == std::string("TLS")) {
            // A plain server cannot answer a TLS handshake: enough that
            // the old connection is gone.
            window.reset();
            continue;
        }

        ScriptServer& next = change.toOther ? *other : *server;
        const size_t nextBefore = next.Lines().size();
        form.okClick();
        EXPECT_EQ(TakeErrorBoxes(), QStringList());
        EXPECT_EQ(StatusText(1), "Last available header retrieved");
        EXPECT_EQ(server->Accepted() - acceptedBefore, change.closes && !change.toOther ? 1 : 0);
        EXPECT_EQ(other->Accepted() - otherBefore, change.toOther ? 1 : 0);
        const std::vector<std::string> lines = next.Lines();
        std::vector<std::string> sent(lines.begin() + nextBefore, lines.end());
        std::vector<std::string> expected = change.login;
        if (change.closes)
            expected.push_back("GROUP " + group->name);
        sent.resize(std::min(sent.size(), expected.size()));
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(StatusText(0), change.toOther ? "Total articles: 2" : "Total articles: 1");
        window.reset();
    }
}

// Get Groups with another server typed in while connected asks that
// server, not the open connection.
TEST_F(ReconnectTest, GetGroupsAsksTheServerTypedIn)
{
    StartConnected();
    TSetupDlg& setup = OpenSetup();
    setup.ServerEdit->setText(QString::fromStdString(other->Address()));
    setup.btnGetGroup->click();
    EXPECT_EQ(TakeErrorBoxes(&setup), QStringList());
    EXPECT_EQ(ReadFile(DataFile()), "alt.pictures.elsewhere\r\n");
    EXPECT_EQ(Count(server->Lines(), "LIST"), 0);
    EXPECT_EQ(Count(server->Lines(), "QUIT"), 1);
    EXPECT_EQ(Count(other->Lines(), "LIST"), 1);
    setup.CancelButton->click();
    EXPECT_EQ(window->msNNTP->Server, other->Address());
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
