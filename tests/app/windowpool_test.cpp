// The window's Go with several connections against a scripted server that
// takes one connection and refuses the others, as a news provider does
// when the account has too many: the pool is lowered, which the status bar
// tells once, and the walk's own connection fetches every picture.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <QComboBox>

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
// a 502. The walk's first command after GROUP waits until `refusals`
// connections were refused, so that the pool has tried before the walk
// could end.
class TooManyServer {
public:
    TooManyServer(std::shared_ptr<FakeNewsGroup> group, int refusals)
        : server_([this](int connection) { return Greeting(connection); },
            [this, group, refusals](int connection, const std::string& command) {
                // A refused connection hears nothing more.
                if (connection != 1)
                    return Answer { "", true };
                if (!command.starts_with("GROUP ")) {
                    std::unique_lock lock(mutex_);
                    refused_.wait_for(
                        lock, std::chrono::seconds(10), [&] { return refusedCount_ >= refusals; });
                }
                return Answer { group->Reply(command).value_or("") };
            })
    {
    }

    std::string Address() const { return server_.Address(); }

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

TEST_F(WindowTest, RefusedConnectionsAreToldOnceAndTheWalkFetchesAlone)
{
    auto group = std::make_shared<FakeNewsGroup>();
    group->articles = { FakeArticle { "first - a.bmp", 200, UUBody("a.bmp", PictureBytes({ 8, 8 })) },
        FakeArticle { "text", 10 },
        FakeArticle { "second - b.bmp", 200, UUBody("b.bmp", PictureBytes({ 9, 9 }, Qt::red)) } };
    const TooManyServer server(group, 2);
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
    EXPECT_EQ(form.Pictures().size(), 2);
    const QString rate = form.TransferRate->text();
    EXPECT_EQ(rate.count("2 connections refused: fetching with 1"), 1) << rate.toStdString();
}

} // namespace
} // namespace lumigrab
