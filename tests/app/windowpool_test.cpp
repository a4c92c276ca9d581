// The window's Go with several connections against a scripted server that
// takes one connection and refuses the others, as a news provider does
// when the account has too many: the pool is lowered, which the status bar
// tells once, and the walk's own connection fetches every picture. A Go
// that finds nothing to fetch opens no further connection.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <QComboBox>
#include <QDir>

#include "app/transferrate.h"
#include "tests/support/pool_server.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::Answer;
using testing::FakeArticle;
using testing::FakeNewsGroup;
using testing::PictureBytes;
using testing::PoolServer;
using testing::UUBody;
using testing::WindowTest;

// Answers its first connection from group and greets each further one with
// a 502. The walk's steps to the next article (NEXT) wait until `refusals`
// connections were refused: the pool starts with the first article handed
// to it, and must have tried before the walk could end.
class TooManyServer {
public:
    TooManyServer(std::shared_ptr<FakeNewsGroup> group, int refusals)
        : server_([this](int connection) { return Greeting(connection); },
            [this, group, refusals](int connection, const std::string& command) {
                // A refused connection hears nothing more.
                if (connection != 1)
                    return Answer { "", true };
                if (command == "NEXT") {
                    std::unique_lock lock(mutex_);
                    refused_.wait_for(
                        lock, std::chrono::seconds(10), [&] { return refusedCount_ >= refusals; });
                }
                return Answer { group->Reply(command).value_or("") };
            })
    {
    }

    std::string Address() const { return server_.Address(); }
    int Accepted() const { return server_.Accepted(); }

private:
    std::mutex mutex_;
    std::condition_variable refused_;
    int refusedCount_ = 0;
    // Last: its threads use the members above.
    PoolServer server_;

    std::string Greeting(int connection)
    {
        if (connection == 1)
            return "200 scripted news server\r\n";
        const std::lock_guard lock(mutex_);
        ++refusedCount_;
        refused_.notify_all();
        return "502 Too many connections for your account\r\n";
    }
};

TEST_F(WindowTest, FurtherConnectionsOpenForArticlesOnlyAndRefusalsAreToldOnce)
{
    const auto picture = [](const char* name, QColor color) {
        return FakeArticle { std::string("post - ") + name, 200,
            UUBody(name, PictureBytes({ 8, 8 }, color)) };
    };
    struct Case {
        const char* name;
        std::vector<FakeArticle> articles;
        int refusals;
        int pictures;
    };
    for (const Case& c :
        { Case { "pictures",
              { picture("a.bmp", Qt::blue), FakeArticle { "text", 10 }, picture("b.bmp", Qt::red) }, 2, 2 },
            Case { "nothing to fetch", { FakeArticle { "text", 10 }, FakeArticle { "more text", 20 } }, 0,
                0 } }) {
        SCOPED_TRACE(c.name);
        auto group = std::make_shared<FakeNewsGroup>();
        group->articles = c.articles;
        const TooManyServer server(group, c.refusals);
        TfrmMain& form = Start();
        form.msNNTP->Server = server.Address();
        form.msNNTP->TimeOut = 20;
        form.msNNTP->UseOverview = false;
        TSetupValues values = form.SetupValues();
        values.Walk.Connections = 3;
        ASSERT_TRUE(form.ApplySetup(values));
        form.NGEdit->setCurrentText(QString::fromStdString(group->name));

        form.okClick();
        EXPECT_EQ(TakeErrorBoxes(), QStringList());
        EXPECT_EQ(StatusText(1), "Last available header retrieved");
        EXPECT_EQ(form.Pictures().size(), c.pictures);
        EXPECT_EQ(server.Accepted(), 1 + c.refusals) << "the walk's, and those the pool opened";
        const QString rate = form.TransferRate->text();
        EXPECT_EQ(rate.count("2 connections refused: fetching with 1"), c.refusals > 0 ? 1 : 0)
            << rate.toStdString();
        window.reset();
        QDir(TempFolder()).removeRecursively();
    }
}

} // namespace
} // namespace lumigrab
