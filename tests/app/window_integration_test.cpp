// The main window against the private INN2 of the integration fixture
// (tests/news/inn): Go harvests a whole group, Get Groups writes the
// server's picture groups, also over TLS with a login. The fixture passes
// LUMIGRAB_NNTP_PORT, LUMIGRAB_NNTPS_PORT and LUMIGRAB_INN_DIR; the
// pictures a harvest must keep are listed in
// LUMIGRAB_INN_DIR/expected/<group>.list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <tuple>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "app/nntpsu.h"
#include "app/transferrate.h"
#include "news/msnntp.h"
#include "tests/support/lossy_server.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::ReadFile;
using testing::WindowTest;
using testing::WriteFile;

const char* const PictureGroup = "lumigrab.test.pictures";
// Multi-part posts, out of order, posted twice, damaged.
const char* const MultiPartGroup = "lumigrab.test.multipart";
// Multi-part posts, one of twelve parts, one with parts gone.
const char* const MultiPartGoneGroup = "lumigrab.test.multipart.gone";

class WindowInnTest : public WindowTest {
protected:
    QString innDir;
    QString server;
    // The group the expectations below are about.
    QString group = PictureGroup;

    void SetUp() override
    {
        WindowTest::SetUp();
        innDir = qEnvironmentVariable("LUMIGRAB_INN_DIR");
        const QString port = qEnvironmentVariable("LUMIGRAB_NNTP_PORT");
        if (port.isEmpty() || innDir.isEmpty() || !QFileInfo::exists(innDir + "/ready")) {
            if (qEnvironmentVariable("LUMIGRAB_REQUIRE_INN") == "1")
                FAIL() << "the INN2 test server is not running (LUMIGRAB_REQUIRE_INN=1)";
            GTEST_SKIP() << "no INN2 test server (run the tests through ctest with INN2 installed)";
        }
        server = "127.0.0.1:" + port;
    }

    TfrmMain& StartOnServer()
    {
        TfrmMain& form = Start();
        form.msNNTP->Server = server.toStdString();
        form.msNNTP->TimeOut = 30;
        return form;
    }

    // The report of the group's last unfinished multi-part post.
    QString LastIncompleteReport() const
    {
        const QStringList incomplete
            = QString::fromLatin1(ReadFile(innDir + "/expected/" + group + ".incomplete"))
                  .split('\n', Qt::SkipEmptyParts);
        return incomplete.isEmpty() ? QString() : incomplete.last();
    }

    // Every picture of the group arrived once: in the picture folder, or
    // in the trash where the window put what it cannot show.
    void ExpectEveryPictureOnce() const
    {
        QList<QByteArray> arrived;
        for (const QString& folder : { TempFolder(), TrashFolder() }) {
            for (const QString& name : QDir(folder).entryList(QDir::Files))
                arrived.append(ReadFile(folder + name));
        }
        std::sort(arrived.begin(), arrived.end());
        EXPECT_EQ(arrived.size(), ExpectedPictures().size());
        EXPECT_TRUE(arrived == ExpectedPictures());
    }

    // The bytes of the pictures a harvest of the group keeps, sorted.
    QList<QByteArray> ExpectedPictures() const
    {
        const QString folder = innDir + "/expected/" + group + "/";
        QList<QByteArray> pictures;
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            pictures.append(ReadFile(folder + name));
        std::sort(pictures.begin(), pictures.end());
        return pictures;
    }
};

// The same, with the "Connections" setting: 1 is the walk's client alone,
// more hands the articles to a pool of further connections; and with Stop
// halfway through the first Go or without.
class WindowPoolTest : public WindowInnTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {
protected:
    int Connections() const { return std::get<0>(GetParam()); }
    bool StopHalfway() const { return std::get<1>(GetParam()); }

    TfrmMain& StartWithConnections()
    {
        WriteSettings({ { "Connections", Connections() } });
        TfrmMain& form = StartOnServer();
        // Each pooled connection logs to a file of its own, numbered from 2.
        form.msNNTP->LogFileName = (dataFolder + "nntp.log").toStdString();
        return form;
    }

    // Whether the Go started a pool: its first connection writes its log
    // when it closes, at the end of the Go. (Whether it got as far as the
    // group, or fetched anything, depends on how soon it connects: the
    // walk's client fetches what still waits once the walk is over, and
    // the connections still coming up are cancelled.)
    bool PoolStarted() const { return QFileInfo::exists(dataFolder + "nntp-2.log"); }

    // Stop halfway through the headers, while articles are on their way (on
    // every connection): Stop ends the Go at once, and tells so.
    void GoAndStopHalfway(TfrmMain& form)
    {
        using Clock = std::chrono::steady_clock;
        Clock::time_point stoppedAt;
        const auto header = form.msNNTP->OnNextHeaderRetrieved;
        form.msNNTP->OnNextHeaderRetrieved = [&, header](TObject* sender, int num) {
            header(sender, num);
            if (stoppedAt == Clock::time_point() && TArticleNumber(num + 1) >= form.msNNTP->ArticleCount() / 2) {
                stoppedAt = Clock::now();
                form.CancelButton->click();
            }
        };
        form.okClick();
        form.msNNTP->OnNextHeaderRetrieved = header;
        ASSERT_NE(stoppedAt, Clock::time_point());
        // Not a speed target: a connection left waiting for its article
        // would hold the window for seconds.
        EXPECT_LT(Clock::now() - stoppedAt, std::chrono::seconds(3));
        EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
    }
};

INSTANTIATE_TEST_SUITE_P(
    Connections, WindowPoolTest, ::testing::Combine(::testing::Values(1, 2, 4), ::testing::Bool()));

// Every picture the harvest keeps arrives once with its exact bytes: in the
// picture folder, or in the trash when the viewer could not show it (the
// fixture's pictures are random bytes). Names may differ from a plain
// harvest's: a name freed by the trash is taken again. Pooled connections
// bring the same set, and the group's end is told once they are done. After
// a Stop, Go on the same group connects again and walks on, and none is
// lost and none comes twice.
TEST_P(WindowPoolTest, GoBringsEveryPictureOfTheGroupOnce)
{
    WriteFile(DataFile(), QByteArray(PictureGroup) + "\r\n");
    TfrmMain& form = StartWithConnections();
    ASSERT_EQ(form.NGEdit->currentText(), PictureGroup);
    std::vector<std::string> sent;
    form.msNNTP->OnLineSent = [&](TObject*, const std::string& line) { sent.push_back(line); };
    if (StopHalfway()) {
        ASSERT_NO_FATAL_FAILURE(GoAndStopHalfway(form));
    }
    form.okClick();

    // Headers come by overview, a round trip per range, not per article.
    const auto sentAs = [&](std::string_view command) {
        return std::count_if(
            sent.begin(), sent.end(), [&](const std::string& l) { return l.starts_with(command); });
    };
    EXPECT_GE(sentAs("OVER "), 1);
    EXPECT_EQ(sentAs("HEAD"), 0);
    EXPECT_EQ(sentAs("NEXT"), 0);

    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_TRUE(StatusText(0).startsWith("Total articles: "));
    // At the group's end the status bar tells of the multi-part posts that
    // never completed, the last one last.
    EXPECT_EQ(StatusText(1), LastIncompleteReport());
    ExpectEveryPictureOnce();
    EXPECT_EQ(form.Pictures().size(), QDir(TempFolder()).entryList(QDir::Files).size());
    EXPECT_EQ(PoolStarted(), Connections() > 1);
    EXPECT_FALSE(form.TransferRate->isVisible());
}

// The same with multi-part posts: a Stop as the first post completes leaves
// its join unfinished on the pooled connections; the next Go, at the
// group's end, joins it.
TEST_P(WindowPoolTest, GoJoinsEveryMultiPartPostOnce)
{
    group = MultiPartGoneGroup;
    WriteFile(DataFile(), group.toLatin1() + "\r\n");
    TfrmMain& form = StartWithConnections();
    if (StopHalfway()) {
        bool stopped = false;
        const auto header = form.msNNTP->OnNextHeaderRetrieved;
        form.msNNTP->OnNextHeaderRetrieved = [&, header](TObject* sender, int num) {
            header(sender, num);
            // The twelfth header completes the first post.
            if (!stopped && num + 1 >= 12) {
                stopped = true;
                form.CancelButton->click();
            }
        };
        form.okClick();
        form.msNNTP->OnNextHeaderRetrieved = header;
        ASSERT_TRUE(stopped);
        EXPECT_EQ(TakeErrorBoxes(), QStringList { "Operation has been canceled" });
    }
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    ExpectEveryPictureOnce();
    EXPECT_EQ(form.Pictures().size(), QDir(TempFolder()).entryList(QDir::Files).size());
    EXPECT_FALSE(QFileInfo::exists(TempFolder() + ".lumigrab-parts"));
}

// The server lost part 2 of two multi-part posts; the fill server Setup
// lists (INN2 itself) has them, and Go brings every picture once.
TEST_F(WindowInnTest, GoAsksTheFillServersForWhatTheServerLost)
{
    group = MultiPartGroup;
    const testing::LossyServer lossy(
        server.section(':', 1).toStdString(), group.toStdString(), { "\"harbour.jpg\" yEnc (2/4)", "three.gif [2/3]" });
    ASSERT_EQ(lossy.Lost(), 2u);
    WriteSettings({ { "Connections", 4 }, { "Fill Servers/size", 1 }, { "Fill Servers/1/Server", server },
        { "Fill Servers/1/Connections", 2 } });
    WriteFile(DataFile(), group.toLatin1() + "\r\n");
    TfrmMain& form = StartOnServer();
    form.msNNTP->Server = lossy.Address();
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    ExpectEveryPictureOnce();
}

TEST_F(WindowInnTest, GetGroupsKeepsThePictureGroupsOfTheServer)
{
    TfrmMain& form = StartOnServer();
    form.SetupButton->click();
    TSetupDlg* setup = form.findChild<TSetupDlg*>();
    ASSERT_NE(setup, nullptr);
    setup->ServerEdit->setText(server);
    setup->btnGetGroup->click();
    EXPECT_EQ(TakeErrorBoxes(setup), QStringList());
    EXPECT_EQ(ReadFile(DataFile()), "lumigrab.test.pictures\r\nlumigrab.test.pictures.more\r\n");
    EXPECT_EQ(form.msNNTP->NewsGroupList.Count(), 2);
}

// The fixture's TLS server on 127.0.0.2 takes readers after a login only,
// and no authority the system knows signed its certificate. Set up in the
// dialog, Get Groups asks whether to trust the certificate and, on Yes,
// fetches the list; the fingerprint is kept for the server.
TEST_F(WindowInnTest, GetGroupsOverTlsWithALoginAfterTrustingTheCertificate)
{
    const QString tlsFolder = innDir + "/tls/";
    const QStringList account = QString(ReadFile(tlsFolder + "account")).split('\n', Qt::SkipEmptyParts);
    const QString fingerprint = QString(ReadFile(tlsFolder + "server.fingerprint")).trimmed();
    ASSERT_EQ(account.size(), 2);
    const QString secureServer = "127.0.0.2:" + qEnvironmentVariable("LUMIGRAB_NNTPS_PORT");
    TfrmMain& form = StartOnServer();
    form.SetupButton->click();
    TSetupDlg* setup = form.findChild<TSetupDlg*>();
    ASSERT_NE(setup, nullptr);
    setup->ServerEdit->setText(secureServer);
    setup->UseTLSCheck->setChecked(true);
    setup->UserNameEdit->setText(account[0]);
    setup->PasswordEdit->setText(account[1]);
    setup->btnGetGroup->click();

    auto* question = setup->findChild<QMessageBox*>("TrustQuestion");
    ASSERT_NE(question, nullptr);
    EXPECT_TRUE(
        question->informativeText().remove('\n').remove(':').contains(QString(fingerprint).remove(':')));
    EXPECT_FALSE(QFileInfo::exists(DataFile()));
    question->button(QMessageBox::Yes)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(DataFile()); }, 30000));
    EXPECT_EQ(TakeErrorBoxes(setup), QStringList());
    EXPECT_EQ(ReadFile(DataFile()), "lumigrab.test.pictures\r\nlumigrab.test.pictures.more\r\n");
    setup->OKButton->click();
    form.close();
    window.reset();
    EXPECT_EQ(ReadSetting("Trusted Certificates/" + secureServer).toString(), fingerprint);
    EXPECT_EQ(ReadSetting("User Name").toString(), account[0]);
}

} // namespace
} // namespace lumigrab
