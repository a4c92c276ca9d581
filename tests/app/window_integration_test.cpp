// The main window against the private INN2 of the integration fixture
// (tests/news/inn): Go harvests a whole group, Get Groups writes the
// server's picture groups. The fixture passes LUMIGRAB_NNTP_PORT and
// LUMIGRAB_INN_DIR; the pictures a harvest must keep are listed in
// LUMIGRAB_INN_DIR/expected/<group>.list.
#include <gtest/gtest.h>

#include <algorithm>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

#include "app/nntpsu.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::ReadFile;
using testing::WindowTest;
using testing::WriteFile;

const char* const PictureGroup = "lumigrab.test.pictures";

class WindowInnTest : public WindowTest {
protected:
    QString innDir;
    QString server;

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

    // The bytes of the pictures a harvest of the group keeps, sorted.
    QList<QByteArray> ExpectedPictures() const
    {
        const QString folder = innDir + "/expected/" + PictureGroup + "/";
        QList<QByteArray> pictures;
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            pictures.append(ReadFile(folder + name));
        std::sort(pictures.begin(), pictures.end());
        return pictures;
    }
};

// Every picture the harvest keeps arrives with its exact bytes: in the
// picture folder, or in the trash when the viewer could not show it (the
// fixture's pictures are random bytes). Names may differ from a plain
// harvest's: a name freed by the trash is taken again.
TEST_F(WindowInnTest, GoHarvestsEveryPictureOfTheGroup)
{
    WriteFile(DataFile(), QByteArray(PictureGroup) + "\r\n");
    TfrmMain& form = StartOnServer();
    ASSERT_EQ(form.NGEdit->currentText(), PictureGroup);
    form.okClick();

    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_TRUE(StatusText(0).startsWith("Total articles: "));
    EXPECT_EQ(StatusText(1), "Last available header retrieved");
    QList<QByteArray> arrived;
    for (const QString& folder : { TempFolder(), TrashFolder() }) {
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            arrived.append(ReadFile(folder + name));
    }
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived.size(), ExpectedPictures().size());
    EXPECT_TRUE(arrived == ExpectedPictures());
    EXPECT_EQ(form.Pictures().size(), QDir(TempFolder()).entryList(QDir::Files).size());
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

} // namespace
} // namespace lumigrab
