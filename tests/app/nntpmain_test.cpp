// The main window over a private data folder and settings file, against a
// scripted news server: start-up, Go, Stop and closing with their status
// texts, one command sequence at a time, and the picture controls (Back,
// Forward, counter, zoom, delete and restore, the thumbnail strip).
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSpinBox>
#include <QStatusBar>
#include <QTextDocument>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <cmath>

#include "app/glyphbutton.h"
#include "app/msabout.h"
#include "app/nntpsu.h"
#include "app/picturecounter.h"
#include "app/pictureview.h"
#include "app/thumbnailmodel.h"
#include "app/thumbnailstrip.h"
#include "app/transferrate.h"
#include "lumigrab_version.h"
#include "tests/support/window_fixture.h"
// After the window fixture, which must set up the application first.
#include "tests/support/tls_test_server.h"
#include "transport/kttls.h"

namespace lumigrab {
namespace {

using testing::FakeArticle;
using testing::FakeNewsGroup;
using testing::PictureBytes;
using testing::ReadFile;
using testing::ScriptServer;
using testing::UUBody;
using testing::When;
using testing::WindowTest;
using testing::WriteFile;

QStringList FileNames(const QStringList& paths)
{
    QStringList names;
    for (const QString& path : paths)
        names.append(QFileInfo(path).fileName());
    return names;
}

QStringList Sorted(QStringList list)
{
    list.sort();
    return list;
}

int Count(const std::vector<std::string>& lines, const std::string& line)
{
    return int(std::count(lines.begin(), lines.end(), line));
}

// What a user reads of text that Qt shows in format: markup is rendered,
// so "<b>x</b>" would read "x".
QString AsRead(const QString& text, Qt::TextFormat format = Qt::AutoText)
{
    const bool markup = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    if (!markup)
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

// The status bar's label that shows panel's text.
QLabel* StatusPanel(TfrmMain& form, int panel)
{
    for (QLabel* label : form.statusBar()->findChildren<QLabel*>()) {
        if (label->text() == form.StatusText(panel))
            return label;
    }
    return nullptr;
}

// ---- Start-up and shut-down ----------------------------------------------------

struct StartCase {
    const char* name;
    WindowTest::SettingValues settings;
    std::optional<QByteArray> listFile;
    std::string server;
    QString eMail;
    QString userName;
    std::string logFile;
    // Empty: the built-in list.
    QStringList groups;
    int selected;
};

TEST_F(WindowTest, StartsFromSettingsAndGroupListFile)
{
    const StartCase cases[] = {
        { "first run", {}, std::nullopt, "news", "", "", "", {}, 1 },
        { "settings and list file",
            { { "Server", "news.example.org:1190" }, { "EMail Address", "me@example.org" }, { "Name", "Me" },
                { "Log File", "/tmp/nntp.log" } },
            QByteArray("alt.binaries.pictures.astro\r\nde.alt.binaries.pictures.tech\r\n"),
            "news.example.org:1190", "me@example.org", "Me", "/tmp/nntp.log",
            { "alt.binaries.pictures.astro", "de.alt.binaries.pictures.tech" }, 0 },
        { "empty server", { { "Server", "" } }, std::nullopt, "news", "", "", "", {}, 1 },
        { "server that is no text", { { "Server", QStringList { "a", "b" } } }, std::nullopt, "news", "", "",
            "", {}, 1 },
        { "empty list file", {}, QByteArray(), "news", "", "", "", {}, -1 },
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(SettingsFile());
        QFile::remove(DataFile());
        WriteSettings(c.settings);
        if (c.listFile)
            WriteFile(DataFile(), *c.listFile);
        TfrmMain& form = Start();

        EXPECT_EQ(form.windowTitle(), "Lumigrab - Image Browser");
        EXPECT_EQ(form.msNNTP->Server, c.server);
        EXPECT_EQ(form.EMailAddress(), c.eMail);
        EXPECT_EQ(form.UserName(), c.userName);
        EXPECT_EQ(form.msNNTP->LogFileName, c.logFile);
        EXPECT_EQ(form.HeaderBatch(), 0);
        EXPECT_TRUE(QFileInfo(TempFolder()).isDir());
        EXPECT_EQ(form.NGEdit->currentIndex(), c.selected);
        QStringList groups;
        for (int i = 0; i < form.NGEdit->count(); ++i)
            groups.append(form.NGEdit->itemText(i));
        if (c.listFile) {
            EXPECT_EQ(groups, c.groups);
            EXPECT_EQ(form.msNNTP->NewsGroupList.Count(), c.groups.size());
        } else {
            EXPECT_EQ(groups.size(), 177);
            EXPECT_EQ(groups.removeDuplicates(), 0);
            EXPECT_TRUE(std::all_of(
                groups.begin(), groups.end(), [](const QString& g) { return g.contains("pictures"); }));
        }
        EXPECT_EQ(StatusText(0), "Total Articles: ");
        EXPECT_EQ(StatusText(1), "Current Status: Not Connected");
        EXPECT_EQ(StatusText(2), "None");
        EXPECT_EQ(CounterText(), "0 of 0");
        window.reset();
    }
}

// The settings are still read: they are written back at close.
TEST_F(WindowTest, PictureFolderThatCannotBeMadeIsReportedAndTheStartGoesOn)
{
    WriteFile(dataFolder + "TEMP", "a file where the folder should be");
    WriteSettings({ { "Server", "news.example.org" } });
    TfrmMain& form = Start();
    EXPECT_EQ(TakeErrorBoxes(), QStringList { "Unable to create directory " + TempFolder() });
    EXPECT_EQ(form.msNNTP->Server, "news.example.org");
    EXPECT_EQ(form.NGEdit->currentIndex(), 1);
}

TEST_F(WindowTest, ClosingWritesTheSettingsBackAndSendsNothing)
{
    WriteSettings({ { "EMail Address", "me@example.org" }, { "Name", "Me" } });
    ScriptServer server({ testing::Send("200 ready\r\n") });
    TfrmMain& form = Start();
    form.msNNTP->Server = server.Address();
    form.close();
    EXPECT_EQ(ReadSetting("Server").toString(), QString::fromStdString(server.Address()));
    EXPECT_EQ(ReadSetting("EMail Address").toString(), "me@example.org");
    EXPECT_EQ(ReadSetting("Name").toString(), "Me");
    EXPECT_EQ(ReadSetting("Log File").toString(), "");
    EXPECT_EQ(server.Accepted(), 0);
}

// ---- Go, Stop, closing against a scripted server -------------------------------

class GoTest : public WindowTest {
protected:
    std::shared_ptr<FakeNewsGroup> group = std::make_shared<FakeNewsGroup>();
    std::unique_ptr<ScriptServer> server;

    void SetUp() override
    {
        WindowTest::SetUp();
        group->articles = {
            { "notes", 10 },
            { "bad.jpg (1/1)", 200, UUBody("bad.jpg", "no picture in here") },
            { "parts (1/3)", 200, UUBody("part.bmp", PictureBytes({ 8, 8 })) },
            { "wide.bmp", 151, UUBody("wide.bmp", PictureBytes({ 30, 20 })) },
            { "tall.bmp", 200, UUBody("tall.bmp", PictureBytes({ 20, 30 })) },
            { "small", 150, UUBody("small.bmp", PictureBytes({ 8, 8 })) },
        };
        server = std::make_unique<ScriptServer>(
            [group = group](const std::string& command) { return group->Reply(command); },
            "200 scripted news server\r\n");
    }

    // As a first Go on the server: where an earlier case's walk stopped is
    // forgotten.
    TfrmMain& StartOnServer()
    {
        QFile::remove(TempFolder() + ".lumigrab-walked");
        TfrmMain& form = Start();
        UseServer(*server);
        form.NGEdit->setCurrentText(QString::fromStdString(group->name));
        return form;
    }

    // Stalls the first ARTICLE of article number, then runs action while
    // Go waits for it.
    void WhileArticleWaits(int number, std::function<void()> action)
    {
        group->Stall = [number](const std::string& command, int current) {
            return command == "ARTICLE" && current == number;
        };
        const int earlier = Count(server->Lines(), "ARTICLE");
        When(
            [this, earlier] {
                const std::vector<std::string> lines = server->Lines();
                return !lines.empty() && lines.back() == "ARTICLE" && Count(lines, "ARTICLE") == earlier + 2;
            },
            std::move(action));
    }
};

TEST_F(GoTest, GoHarvestsTheLargeSinglePartPicturesAndShowsTheFirst)
{
    TfrmMain& form = StartOnServer();
    form.okClick();

    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(FileNames(form.Pictures()), (QStringList { "wide.bmp", "tall.bmp" }));
    EXPECT_EQ(form.PictureIndex(), 0);
    EXPECT_EQ(ShownSize(), QSize(30, 20));
    EXPECT_EQ(CounterText(), "1 of 2");
    EXPECT_EQ(StatusText(0), "Total articles: 6");
    // At the group's end, the post whose part 1 alone was posted.
    EXPECT_EQ(StatusText(1), "Incomplete: parts, parts 2, 3 of 3 missing");
    EXPECT_EQ(StatusText(2), "tall.bmp");
    // Articles 2, 4 and 5 only: not the text, not the part, not 150 lines.
    EXPECT_EQ(Count(server->Lines(), "ARTICLE"), 3);
    // The undecodable picture was shown first and went to the trash.
    EXPECT_TRUE(QFileInfo::exists(TrashFolder() + "bad.jpg"));
    EXPECT_EQ(Sorted(QDir(TempFolder()).entryList(QDir::Files)), (QStringList { "tall.bmp", "wide.bmp" }));
    EXPECT_FALSE(form.ProgressBar->isVisible());

    // Go again continues after the last header: no second GROUP.
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(Count(server->Lines(), "GROUP " + group->name), 1);
    EXPECT_EQ(server->Lines().back(), "NEXT");
    EXPECT_EQ(StatusText(1), "Last available header retrieved");
    EXPECT_EQ(form.Pictures().size(), 2);

    // Stop with nothing running closes the idle connection, no error.
    QStringList texts;
    form.msNNTP->OnClosed = [&](TObject*) { texts.append(StatusText(1)); };
    form.CancelButton->click();
    EXPECT_EQ(texts, QStringList { "Oparation has been canceled" });
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
}

TEST_F(GoTest, ProgressBarShowsWhileAnArticleArrives)
{
    FakeArticle& large = group->articles[3];
    large.body = UUBody("wide.bmp", PictureBytes({ 300, 200 }));
    large.lines = int(std::count(large.body.begin(), large.body.end(), '\n'));
    std::shared_ptr<FakeNewsGroup> slow = group;
    server = std::make_unique<ScriptServer>(
        [slow](const std::string& command) {
            std::optional<std::string> reply = slow->Reply(command);
            if (command == "ARTICLE" && reply && reply->size() > 4000) {
                // Half of it, then a pause long enough to be seen.
                std::string paused = reply->substr(0, reply->size() / 2);
                for (int i = 0; i < 6; ++i)
                    paused += testing::ReplyPause;
                *reply = paused + reply->substr(reply->size() / 2);
            }
            return reply;
        },
        "200 scripted news server\r\n");
    TfrmMain& form = StartOnServer();
    int seenPercent = -1;
    When([&] { return form.ProgressBar->isVisible(); }, [&] { seenPercent = form.ProgressBar->value(); });
    form.okClick();
    EXPECT_GT(seenPercent, 0);
    EXPECT_LT(seenPercent, 100);
    EXPECT_FALSE(form.ProgressBar->isVisible());
}

TEST_F(GoTest, SpeedAndPicturesPerMinuteShowWhileGoRuns)
{
    TfrmMain& form = StartOnServer();
    EXPECT_FALSE(form.TransferRate->isVisible());
    bool shown = false;
    QString text;
    // Looked at while the second article fetched waits, then stopped.
    WhileArticleWaits(4, [&] {
        shown = form.TransferRate->isVisible();
        form.TransferRate->Refresh();
        text = form.TransferRate->text();
        form.CancelButton->click();
    });
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
    EXPECT_TRUE(shown);
    EXPECT_TRUE(
        QRegularExpression(R"(^[1-9][0-9.]* (B|kB|MB)/s, [1-9][0-9]* pictures/min$)").match(text).hasMatch())
        << text.toStdString();
    EXPECT_FALSE(form.TransferRate->isVisible());
}

// Go, Enter in the group list and Get Groups each start a command
// sequence; while one waits, each of them is refused and sends nothing.
// Stop (button or Esc) ends the waiting one; Go on the same group then
// connects again and goes on after the last header taken.
TEST_F(GoTest, SecondCommandSequenceIsRefusedAndStopEndsTheFirst)
{
    struct Second {
        const char* name;
        std::function<void(TfrmMain&)> start;
        std::function<void(TfrmMain&)> stop;
    };
    const auto stopButton = [](TfrmMain& form) { form.CancelButton->click(); };
    const Second seconds[] = {
        { "Go", [](TfrmMain& form) { form.btnGo->click(); }, stopButton },
        { "Enter in the group list",
            [](TfrmMain& form) {
                form.NGEdit->setFocus();
                QTest::keyClick(form.NGEdit, Qt::Key_Return);
            },
            [](TfrmMain& form) { QTest::keyClick(form.ScrollBox1, Qt::Key_Escape); } },
        { "Get Groups",
            [](TfrmMain& form) {
                form.SetupButton->click();
                TSetupDlg* setup = form.findChild<TSetupDlg*>();
                ASSERT_NE(setup, nullptr);
                setup->btnGetGroup->click();
                setup->reject();
            },
            stopButton },
    };
    for (const Second& second : seconds) {
        SCOPED_TRACE(second.name);
        TfrmMain& form = StartOnServer();
        size_t linesBefore = 0;
        QString refusal;
        WhileArticleWaits(4, [&] {
            linesBefore = server->Lines().size();
            second.start(form);
            refusal = StatusText(1);
            second.stop(form);
        });
        form.okClick();
        EXPECT_EQ(refusal, "Another command is in progress on this connection; press Stop first");
        EXPECT_EQ(server->Lines().size(), linesBefore);
        EXPECT_EQ(StatusText(1), "Operation has been canceled");
        EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
        EXPECT_FALSE(form.CommandSequenceRunning());

        group->Stall = nullptr;
        form.okClick();
        EXPECT_EQ(TakeErrorBoxes(), QStringList());
        EXPECT_GT(server->Lines().size(), linesBefore);
        window.reset();
    }
}

// Stop closes the connection; Go on the same group connects again, selects
// the group again and walks on after the last header taken: article 2 is
// not fetched twice, article 4, stopped on its way, is not lost.
TEST_F(GoTest, StopThenGoOnTheSameGroupContinuesAfterTheLastHeaderTaken)
{
    TfrmMain& form = StartOnServer();
    WhileArticleWaits(4, [&] { form.CancelButton->click(); });
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
    EXPECT_FALSE(form.msNNTP->Connected());

    group->Stall = nullptr;
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    // The group's end, where its unfinished post is reported.
    EXPECT_EQ(StatusText(1), "Incomplete: parts, parts 2, 3 of 3 missing");
    EXPECT_EQ(server->Accepted(), 2);
    EXPECT_EQ(Count(server->Lines(), "GROUP " + group->name), 2);
    EXPECT_EQ(Count(server->Lines(), "STAT 2"), 1);
    EXPECT_EQ(FileNames(form.Pictures()), (QStringList { "wide.bmp", "tall.bmp" }));
    EXPECT_EQ(Sorted(QDir(TempFolder()).entryList(QDir::Files)), (QStringList { "tall.bmp", "wide.bmp" }));
    EXPECT_EQ(CounterText(), "1 of 2");
}

// OK in the setup dialog while Go waits: a change of how the server is
// reached would end the transfer's connection, so it is refused like a
// second command and the dialog stays open; other settings are taken.
TEST_F(GoTest, SetupChangesThatWouldEndTheRunningTransferAreRefused)
{
    struct Change {
        const char* name;
        std::function<void(TSetupDlg&)> edit;
        bool taken;
    };
    const Change changes[] = {
        { "server", [](TSetupDlg& setup) { setup.ServerEdit->setText("news.example.org"); }, false },
        { "password", [](TSetupDlg& setup) { setup.PasswordEdit->setText("new"); }, false },
        { "walk start", [](TSetupDlg& setup) { setup.StartBeforeEndSpin->setValue(40); }, true },
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        TfrmMain& form = StartOnServer();
        bool dialogOpen = false;
        QString status;
        WhileArticleWaits(4, [&] {
            form.SetupButton->click();
            TSetupDlg* setup = form.findChild<TSetupDlg*>();
            ASSERT_NE(setup, nullptr);
            change.edit(*setup);
            setup->OKButton->click();
            dialogOpen = setup->isVisible();
            status = StatusText(1);
            if (dialogOpen)
                setup->CancelButton->click();
            form.CancelButton->click();
        });
        form.okClick();
        EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
        EXPECT_EQ(dialogOpen, !change.taken);
        if (!change.taken) {
            EXPECT_EQ(status, "Another command is in progress on this connection; press Stop first");
        }
        EXPECT_EQ(form.msNNTP->Server, server->Address());
        EXPECT_EQ(form.msNNTP->Password, "");
        EXPECT_EQ(form.msNNTP->StartBeforeEnd, change.taken ? 40 : 0);
        window.reset();
        group->Stall = nullptr;
    }
}

// Subjects and server replies are shown as they are, never as markup: in
// the status bar, its tool tips and the error box.
TEST_F(GoTest, SubjectsAndRepliesAreShownAsPlainText)
{
    const std::string subject = "<b>x</b><img src=\"file:///nonexistent.png\"> &amp; wide.bmp";
    group->articles[3].subject = subject;
    group->Stall = nullptr;
    const std::string refusal = "411 <i>no</i> such group <a href=\"http://example.org\">here</a>";
    std::shared_ptr<FakeNewsGroup> fake = group;
    server = std::make_unique<ScriptServer>(
        [fake, refusal](const std::string& command) -> std::optional<std::string> {
            if (command == "GROUP alt.binaries.pictures.gone")
                return refusal + "\r\n";
            return fake->Reply(command);
        },
        "200 scripted news server\r\n");
    TfrmMain& form = StartOnServer();
    QString subjectShown;
    QString subjectTip;
    form.msNNTP->OnArticleRetrieved = [&](TObject*) {
        if (subjectShown.isEmpty() && StatusText(2).startsWith("<b>")) {
            QLabel* panel = StatusPanel(form, 2);
            ASSERT_NE(panel, nullptr);
            subjectShown = AsRead(panel->text(), panel->textFormat());
            subjectTip = AsRead(panel->toolTip());
        }
    };
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(subjectShown, QString::fromStdString(subject));
    EXPECT_EQ(subjectTip, QString::fromStdString(subject));

    form.NGEdit->addItem("alt.binaries.pictures.gone");
    form.NGEdit->setCurrentText("alt.binaries.pictures.gone");
    form.okClick();
    const QList<QMessageBox*> boxes = form.findChildren<QMessageBox*>("ErrorBox");
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(AsRead(boxes[0]->text(), boxes[0]->textFormat()), QString::fromStdString(refusal));
    QLabel* panel = StatusPanel(form, 1);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(AsRead(panel->text(), panel->textFormat()), QString::fromStdString(refusal));
    EXPECT_EQ(AsRead(panel->toolTip()), QString::fromStdString(refusal));
    TakeErrorBoxes();
}

TEST_F(GoTest, ClosingWhileGoWaitsCancelsQuietlyAndWritesTheSettings)
{
    TfrmMain& form = StartOnServer();
    WhileArticleWaits(4, [&] { MenuItem("Exit1")->trigger(); });
    form.okClick();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(ReadSetting("Server").toString(), QString::fromStdString(server->Address()));
    EXPECT_EQ(Count(server->Lines(), "QUIT"), 0);
}

// An article gone between its header and its text is skipped; the status
// bar says why while the walk goes on.
TEST_F(GoTest, SkippedArticleReachesTheStatusBar)
{
    group->articles[3].gone = true;
    // The walk waits for the header after the skipped article.
    group->Stall = [](const std::string& command, int current) { return command == "NEXT" && current == 4; };
    TfrmMain& form = StartOnServer();
    QString shown;
    When(
        [this] {
            const std::vector<std::string> lines = server->Lines();
            return !lines.empty() && lines.back() == "NEXT" && Count(lines, "ARTICLE") == 2;
        },
        [&] {
            shown = StatusText(1);
            form.CancelButton->click();
        });
    form.okClick();
    EXPECT_EQ(shown, "Article skipped: Gone from the server (423 no article with that number)");
    EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
}

TEST_F(GoTest, EmptyGroupListFailsWithoutConnecting)
{
    WriteFile(DataFile(), QByteArray());
    TfrmMain& form = StartOnServer();
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList { "Newsgroup has not been selected" });
    EXPECT_EQ(StatusText(1), "Newsgroup has not been selected");
    EXPECT_EQ(server->Accepted(), 0);
}

// ---- Secure connections and logins --------------------------------------------

// A TLS news server whose certificate no authority the system knows has
// signed, with its group behind a login.
class TlsWindowTest : public WindowTest {
protected:
    std::shared_ptr<FakeNewsGroup> group = std::make_shared<FakeNewsGroup>();
    testing::TestIdentity identity
        = testing::TestIdentity::Authority("Lumigrab test authority").Issue("IP:127.0.0.1");
    std::unique_ptr<testing::TlsScriptServer> server;

    void SetUp() override
    {
        WindowTest::SetUp();
        group->articles = { { "notes", 10 } };
        server = std::make_unique<testing::TlsScriptServer>(
            identity,
            [group = group](const std::string& command) -> std::optional<std::string> {
                if (command == "AUTHINFO USER reader")
                    return "381 password please\r\n";
                if (command == "AUTHINFO PASS s3cret")
                    return "281 welcome\r\n";
                if (command.starts_with("AUTHINFO"))
                    return "481 no\r\n";
                return group->Reply(command);
            },
            "200 scripted news server\r\n");
    }

    QString Address() const { return QStringLiteral("127.0.0.1:%1").arg(server->Port()); }
};

// The window asks before it trusts a certificate, and only a Yes keeps the
// fingerprint for the server and connects again, logging in with the
// account of the settings.
TEST_F(TlsWindowTest, UntrustedCertificateIsTrustedOnlyOnYes)
{
    const QString fingerprint = QString::fromStdString(NormalizeFingerprint(identity.Sha256Hex()));
    for (const QMessageBox::StandardButton answer : { QMessageBox::No, QMessageBox::Yes }) {
        const bool yes = answer == QMessageBox::Yes;
        SCOPED_TRACE(yes ? "Yes" : "No");
        WriteSettings({ { "Server", Address() }, { "Use TLS", "true" }, { "User Name", "reader" },
            { "Password", "s3cret" } });
        TfrmMain& form = Start();
        form.msNNTP->TimeOut = 20;
        form.NGEdit->setCurrentText(QString::fromStdString(group->name));
        const size_t linesBefore = server->Lines().size();
        const int handshakesBefore = server->Handshakes();
        form.okClick();

        auto* question = form.findChild<QMessageBox*>("TrustQuestion");
        ASSERT_NE(question, nullptr);
        EXPECT_TRUE(question->isVisible());
        const QString shown = question->informativeText();
        // The reason comes from the server's certificate: no markup.
        auto* reason = question->findChild<QLabel*>("qt_msgbox_informativelabel");
        ASSERT_NE(reason, nullptr);
        EXPECT_EQ(reason->textFormat(), Qt::PlainText);
        EXPECT_TRUE(shown.contains("Server: " + Address())) << shown.toStdString();
        EXPECT_TRUE(QString(shown).remove('\n').remove(':').contains(QString(fingerprint).remove(':')))
            << shown.toStdString();
        EXPECT_EQ(server->Lines().size(), linesBefore);

        question->button(answer)->click();
        // A Yes connects again from the event loop.
        const bool walked = QTest::qWaitFor(
            [&] { return StatusText(1) == "Last available header retrieved"; }, yes ? 5000 : 50);
        EXPECT_EQ(walked, yes);
        EXPECT_EQ(TakeErrorBoxes(), QStringList());
        // The refused handshake never completed.
        EXPECT_EQ(server->Handshakes() - handshakesBefore, yes ? 1 : 0);
        const std::vector<std::string> all = server->Lines();
        const std::vector<std::string> sent(all.begin() + linesBefore, all.end());
        // What the server offers is asked once logged in, before the group;
        // this one offers no compression.
        const std::vector<std::string> loginAndGroup = { "AUTHINFO USER reader", "AUTHINFO PASS s3cret",
            "CAPABILITIES", "XFEATURE COMPRESS GZIP", "GROUP " + group->name };
        EXPECT_EQ(std::vector(sent.begin(), sent.begin() + std::min<size_t>(sent.size(), 5)),
            yes ? loginAndGroup : std::vector<std::string> {});
        EXPECT_EQ(StatusText(0) == "Total articles: 1", yes);
        form.close();
        window.reset();
        EXPECT_EQ(ReadSetting("Trusted Certificates/" + Address()).toString(), yes ? fingerprint : "");
    }
}

// ---- The picture set -----------------------------------------------------------

// Pictures 11, 12 and 13 pixels wide: the width tells which one is shown.
class PictureControlsTest : public WindowTest {
protected:
    void AddPictures(int count)
    {
        for (int i = 0; i < count; ++i)
            AddPictureFile(QString("p%1.bmp").arg(i), QSize(11 + i, 7));
    }

    int ShownWidthFor(int index) const
    {
        return 11 + QFileInfo(window->Pictures().at(index)).baseName().mid(1).toInt();
    }

    void TypeIntoCounter(const QString& text)
    {
        QLineEdit* edit = window->PicOfPic->lineEdit();
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
        window->ScrollBox1->setFocus();
    }
};

TEST_F(PictureControlsTest, BackForwardCounterAndKeysMoveThroughTheSet)
{
    AddPictures(3);
    TfrmMain& form = Start();
    struct Step {
        const char* action;
        std::function<void()> act;
        int index;
        const char* counter;
    };
    auto key = [&](Qt::Key k) { return [&form, k] { QTest::keyClick(form.ScrollBox1, k); }; };
    const Step steps[] = {
        { "start", [] {}, 0, "1 of 3" },
        { "Back on the first", [&] { form.sbPrior->click(); }, 0, "1 of 3" },
        { "Forward", [&] { form.sbNext->click(); }, 1, "2 of 3" },
        { "Forward", [&] { form.sbNext->click(); }, 2, "3 of 3" },
        { "Forward on the last", [&] { form.sbNext->click(); }, 2, "3 of 3" },
        { "typed 2", [&] { TypeIntoCounter("2"); }, 1, "2 of 3" },
        { "typed 4", [&] { TypeIntoCounter("4"); }, 1, "2 of 3" },
        { "typed 0", [&] { TypeIntoCounter("0"); }, 1, "2 of 3" },
        { "typed words", [&] { TypeIntoCounter("three"); }, 1, "2 of 3" },
        { "chosen from the list",
            [&] {
                form.PicOfPic->showPopup();
                ASSERT_EQ(form.PicOfPic->count(), 3);
                form.PicOfPic->hidePopup();
                emit form.PicOfPic->activated(2);
            },
            2, "3 of 3" },
        { "Home", key(Qt::Key_Home), 0, "1 of 3" },
        { "End", key(Qt::Key_End), 2, "3 of 3" },
        { "Left", key(Qt::Key_Left), 1, "2 of 3" },
        { "Page Up", key(Qt::Key_PageUp), 0, "1 of 3" },
        { "Right", key(Qt::Key_Right), 1, "2 of 3" },
        { "Backspace", key(Qt::Key_Backspace), 0, "1 of 3" },
        { "Space", key(Qt::Key_Space), 1, "2 of 3" },
        { "Page Down", key(Qt::Key_PageDown), 2, "3 of 3" },
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.action);
        step.act();
        EXPECT_EQ(form.PictureIndex(), step.index);
        EXPECT_EQ(CounterText(), step.counter);
        EXPECT_EQ(ShownSize().width(), ShownWidthFor(step.index));
        EXPECT_TRUE(form.sbPrior->isEnabled());
        EXPECT_TRUE(form.sbNext->isEnabled());
    }
}

TEST_F(PictureControlsTest, ClicksAndKeysZoomInTenPercentStepsUntilTheNextPicture)
{
    AddPictureFile("zoom.bmp", QSize(25, 5));
    AddPictureFile("zoom2.bmp", QSize(26, 5));
    TfrmMain& form = Start();
    ASSERT_EQ(ShownSize(), QSize(25, 5));
    struct Step {
        const char* action;
        std::function<void()> act;
        double scale;
        bool fitted;
    };
    // One scale for both sides, 10 % of the current size per step.
    const Step steps[] = {
        { "right click", [&] { QTest::mouseClick(form.Image1, Qt::RightButton); }, 0.9, false },
        { "left click", [&] { QTest::mouseClick(form.Image1, Qt::LeftButton); }, 0.99, false },
        { "middle click", [&] { QTest::mouseClick(form.Image1, Qt::MiddleButton); }, 1.089, false },
        { "minus", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Minus); }, 0.9801, false },
        { "plus", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Plus); }, 1.07811, false },
        { "F fits", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_F); }, 1, true },
        { "plus", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Plus); }, 1.1, false },
        { "Ctrl+0 fits", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_0, Qt::ControlModifier); }, 1, true },
        { "minus", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Minus); }, 0.9, false },
        { "1 shows 100 %", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_1); }, 1, false },
        { "minus", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Minus); }, 0.9, false },
        { "Ctrl+1 shows 100 %", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_1, Qt::ControlModifier); }, 1,
            false },
        { "minus", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Minus); }, 0.9, false },
        { "next picture", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Right); }, 1, true },
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.action);
        step.act();
        const QSize picture = form.Image1->Picture().size();
        EXPECT_NEAR(form.ScrollBox1->Scale(), step.scale, 1e-9);
        EXPECT_EQ(form.ScrollBox1->Fitted(), step.fitted);
        EXPECT_EQ(ShownSize(),
            QSize(int(std::nearbyint(picture.width() * step.scale)),
                int(std::nearbyint(picture.height() * step.scale))));
    }
}

TEST_F(PictureControlsTest, F11TogglesFullScreenAndEscLeavesItBeforeItStops)
{
    AddPictures(1);
    TfrmMain& form = Start();
    const QString idle = StatusText(1);
    QTest::keyClick(form.ScrollBox1, Qt::Key_F11);
    EXPECT_TRUE(form.isFullScreen());
    QTest::keyClick(form.ScrollBox1, Qt::Key_Escape);
    EXPECT_FALSE(form.isFullScreen());
    EXPECT_EQ(StatusText(1), idle);
    QTest::keyClick(form.ScrollBox1, Qt::Key_F11);
    QTest::keyClick(form.ScrollBox1, Qt::Key_F11);
    EXPECT_FALSE(form.isFullScreen());
    QTest::keyClick(form.ScrollBox1, Qt::Key_Escape);
    EXPECT_EQ(StatusText(1), "Oparation has been canceled");
}

// The menu, Ctrl+D and Delete move the picture on show to the trash, and
// Ctrl+Z brings each back at its place, the last first; the set's own rules
// are tested with TPictureSet.
TEST_F(PictureControlsTest, DeleteAndRestoreByMenuAndKeys)
{
    AddPictures(3);
    TfrmMain& form = Start();
    const QStringList before = form.Pictures();
    const std::pair<const char*, std::function<void()>> deletions[] = {
        { "menu", [&] { MenuItem("Deletethispicture1")->trigger(); } },
        { "Ctrl+D", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_D, Qt::ControlModifier); } },
        { "Delete", [&] { QTest::keyClick(form.ScrollBox1, Qt::Key_Delete); } },
    };
    int left = 3;
    for (const auto& [name, remove] : deletions) {
        SCOPED_TRACE(name);
        const QString doomed = form.Pictures().at(form.PictureIndex());
        remove();
        --left;
        EXPECT_FALSE(QFileInfo::exists(doomed));
        EXPECT_TRUE(QFileInfo::exists(TrashFolder() + QFileInfo(doomed).fileName()));
        EXPECT_EQ(StatusText(1), "Moved " + QFileInfo(doomed).fileName() + " to the trash");
        EXPECT_EQ(CounterText(), left == 0 ? QString("0 of 0") : QString("1 of %1").arg(left));
        EXPECT_EQ(ShownSize().width(), left == 0 ? 0 : ShownWidthFor(0));
    }
    for (int restored = 1; restored <= 3; ++restored) {
        SCOPED_TRACE(restored);
        QTest::keyClick(form.ScrollBox1, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(
            StatusText(1), "Restored " + QFileInfo(form.Pictures().at(0)).fileName() + " from the trash");
        EXPECT_EQ(CounterText(), QString("1 of %1").arg(restored));
        EXPECT_EQ(ShownSize().width(), ShownWidthFor(0));
    }
    EXPECT_EQ(form.Pictures(), before);
}

TEST_F(PictureControlsTest, ThumbnailStripFollowsTheSetMarksThePictureOnShowAndChoosesOnClick)
{
    AddPictures(3);
    TfrmMain& form = Start();
    while (form.ScanningTempFolder())
        QCoreApplication::processEvents();
    TThumbnailStrip& strip = *form.findChild<TThumbnailStrip*>();
    EXPECT_TRUE(strip.isVisible());
    EXPECT_EQ(strip.Count(), 3);
    EXPECT_EQ(strip.Marked(), 0);
    form.sbNext->click();
    EXPECT_EQ(strip.Marked(), 1);

    // Thumbnails come from the worker as their cells show.
    const QModelIndex third = strip.model()->index(2, 0);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !third.data(Qt::DecorationRole).value<QImage>().isNull(); }, 5000));
    EXPECT_EQ(third.data(Qt::DecorationRole).value<QImage>().size(), QSize(ShownWidthFor(2), 7));
    QTest::mouseClick(strip.viewport(), Qt::LeftButton, {}, strip.visualRect(third).center());
    EXPECT_EQ(form.PictureIndex(), 2);
    EXPECT_EQ(strip.Marked(), 2);
    EXPECT_EQ(ShownSize().width(), ShownWidthFor(2));

    AddPictureFile("p3.bmp", QSize(14, 7));
    form.AddPicture(TempFolder() + "p3.bmp");
    EXPECT_EQ(strip.Count(), 4);
    MenuItem("Deletethispicture1")->trigger();
    EXPECT_EQ(strip.Count(), 3);
    EXPECT_EQ(strip.Marked(), form.PictureIndex());

    // T hides the strip and the pane takes its room; the View menu's
    // item says which.
    const int paneHeight = form.ScrollBox1->height();
    QTest::keyClick(form.ScrollBox1, Qt::Key_T);
    EXPECT_FALSE(strip.isVisible());
    EXPECT_FALSE(MenuItem("Thumbnails1")->isChecked());
    EXPECT_EQ(form.ScrollBox1->height(), paneHeight + strip.height());
    MenuItem("Thumbnails1")->trigger();
    EXPECT_TRUE(strip.isVisible());
    EXPECT_EQ(form.ScrollBox1->height(), paneHeight);

    // Stepping on past the strip's right edge, each marked cell comes into
    // view whole.
    const int cellsInView = strip.viewport()->width() / TThumbnailModel::kCellSize.width();
    for (int i = 4; i < cellsInView + 8; ++i) {
        AddPictureFile(QString("p%1.bmp").arg(i), QSize(11 + i, 7));
        form.AddPicture(TempFolder() + QString("p%1.bmp").arg(i));
    }
    QTest::keyClick(form.ScrollBox1, Qt::Key_Home);
    for (int step = 0; step < cellsInView + 4; ++step) {
        form.sbNext->click();
        SCOPED_TRACE(strip.Marked());
        const QRect marked = strip.visualRect(strip.model()->index(strip.Marked(), 0));
        EXPECT_TRUE(strip.viewport()->rect().contains(marked)) << marked.right();
    }
}

// A picture too large to decode is a picture all the same: it stays.
TEST_F(PictureControlsTest, TooLargePictureStaysInTheFolderAndThePaneSaysSo)
{
    AddPictures(1);
    QByteArray huge = ReadFile(LUMIGRAB_FIXTURES_DIR "/pictures/bmp-24-im.bmp");
    qToLittleEndian<quint32>(10000, huge.data() + 18);
    qToLittleEndian<quint32>(10000, huge.data() + 22);
    WriteFile(TempFolder() + "huge.bmp", huge);
    TfrmMain& form = Start();
    while (form.ScanningTempFolder())
        QCoreApplication::processEvents();
    const QString path = TempFolder() + "huge.bmp";
    ASSERT_TRUE(form.Pictures().contains(path));
    TypeIntoCounter(QString::number(form.Pictures().indexOf(path) + 1));

    EXPECT_EQ(form.Pictures().size(), 2);
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(form.ScrollBox1->Notice(), "huge.bmp is too large to show");
    EXPECT_EQ(StatusText(1), "huge.bmp is too large to show");
    EXPECT_EQ(ShownSize(), QSize(0, 0));
    TypeIntoCounter(QString::number(form.Pictures().indexOf(TempFolder() + "p0.bmp") + 1));
    EXPECT_EQ(form.ScrollBox1->Notice(), "");
}

// However many files the picture folder holds, and none that can be shown,
// the window comes up at once and answers while they are handled from the
// event loop; the set's listing is tested with TPictureSet.
TEST_F(PictureControlsTest, WindowAnswersWhileThePictureFolderIsListed)
{
    constexpr int count = 400;
    QDir().mkpath(TempFolder());
    for (int i = 0; i < count; ++i)
        WriteFile(TempFolder() + QString("empty%1.jpg").arg(i), QByteArray());
    TfrmMain& form = Create();
    form.show();
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.ScanningTempFolder());

    // The event loop runs a click while the folder is still being handled.
    bool scanningWhenClicked = false;
    When([] { return true; },
        [&] {
            scanningWhenClicked = form.ScanningTempFolder();
            form.sbNext->click();
        });
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form.ScanningTempFolder(); }, 120000));
    EXPECT_TRUE(scanningWhenClicked);
    EXPECT_EQ(QDir(TrashFolder()).entryList(QDir::Files).size(), count);
    EXPECT_EQ(CounterText(), "0 of 0");
    EXPECT_TRUE(StatusText(1).startsWith("Cannot show empty")) << StatusText(1).toStdString();
}

// ---- Menu ------------------------------------------------------------------------

// File, Open NZB...: the pictures it names come by message-id, without a
// group, and show; a par2 file is passed over; an NZB that cannot be read
// gets an error box and sends nothing.
TEST_F(WindowTest, OpenNzbShowsItsPicturesOrSaysWhyNot)
{
    const std::string article = "Subject: wide.bmp\r\nMessage-ID: <wide@test>\r\nLines: 200\r\n\r\n"
        + UUBody("wide.bmp", PictureBytes({ 30, 20 }));
    ScriptServer server(
        [&](const std::string& command) -> std::optional<std::string> {
            if (command == "STAT <wide@test>")
                return std::string("223 0 <wide@test>\r\n");
            if (command == "HEAD <wide@test>")
                return "221 0 <wide@test>\r\n" + article.substr(0, article.find("\r\n\r\n") + 2) + ".\r\n";
            if (command == "ARTICLE <wide@test>")
                return "220 0 <wide@test>\r\n" + article + ".\r\n";
            if (command == "QUIT")
                return std::string("205 bye\r\n");
            return std::string("500 what\r\n");
        },
        "200 scripted news server\r\n");
    TfrmMain& form = Start();
    UseServer(server);
    const QString nzb = dataFolder + "posts.nzb";
    WriteFile(nzb,
        "<?xml version=\"1.0\"?>\n<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n"
        "<file subject=\"&quot;wide.bmp&quot; yEnc (1/1)\"><segments>"
        "<segment bytes=\"1\" number=\"1\">wide@test</segment></segments></file>\n"
        "<file subject=\"&quot;wide.par2&quot; yEnc (1/1)\"><segments>"
        "<segment bytes=\"1\" number=\"1\">par@test</segment></segments></file>\n</nzb>\n");
    form.OpenNzb(nzb);
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(FileNames(form.Pictures()), QStringList { "wide.bmp" });
    EXPECT_EQ(ShownSize(), QSize(30, 20));
    EXPECT_EQ(StatusText(1), "NZB fetched: posts.nzb");
    EXPECT_EQ(Count(server.Lines(), "ARTICLE <par@test>") + Count(server.Lines(), "STAT <par@test>"), 0);

    const int sent = int(server.Lines().size());
    const QString bad = dataFolder + "bad.nzb";
    WriteFile(bad, "<?xml version=\"1.0\"?>\n<!DOCTYPE nzb [\n<!ENTITY a \"aaaa\">\n]>\n<nzb/>\n");
    form.OpenNzb(bad);
    EXPECT_EQ(TakeErrorBoxes(), QStringList { "not an NZB file: it declares entities of its own at line 4" });
    EXPECT_EQ(int(server.Lines().size()), sent);
}

TEST_F(WindowTest, HomepageOpensTheAddressOrSaysWhyNot)
{
    for (const bool opens : { true, false }) {
        SCOPED_TRACE(opens ? "opens" : "fails");
        TfrmMain& form = Start();
        QUrl opened;
        form.OpenUrl = [&](const QUrl& address) {
            opened = address;
            return opens;
        };
        MenuItem("TamberlyHomepage1")->trigger();
        EXPECT_EQ(opened, QUrl(version::HomePage));
        EXPECT_EQ(TakeErrorBoxes(),
            opens ? QStringList() : QStringList { "Unable to run ShellExec. Error code=31" });
        window.reset();
    }
}

TEST_F(WindowTest, AboutBoxOpensModalForTheWindow)
{
    TfrmMain& form = Start();
    MenuItem("About1")->trigger();
    TAboutDlg* about = form.findChild<TAboutDlg*>();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->windowModality(), Qt::WindowModal);
    about->accept();
}

TEST(ProgramDataFolder, BesideTheProgramUnlessInstalledOrReadOnly)
{
    QTemporaryDir root;
    const QString bin = root.filePath("bin");
    QDir().mkpath(bin);
    EXPECT_EQ(ProgramDataFolder(bin), bin + '/');

    // Installed by this package or by an earlier one.
    QDir().mkpath(root.filePath("share/applications"));
    const QString dataHome = root.filePath("data");
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    for (const char* entry : { "org.example.lumigrab.Lumigrab.desktop", "lumigrab.desktop" }) {
        const QString path = root.filePath(QStringLiteral("share/applications/") + entry);
        WriteFile(path, "[Desktop Entry]\n");
        EXPECT_EQ(ProgramDataFolder(bin), dataHome + "/Lumigrab/") << entry;
        QFile::remove(path);
    }
}

} // namespace
} // namespace lumigrab
