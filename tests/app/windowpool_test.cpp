// The window's Go with several connections against a scripted server that
// takes one connection and refuses the others, as a news provider does
// when the account has too many: the pool is lowered, which the status bar
// tells once, and the walk's own connection fetches every picture. A Go
// that finds nothing to fetch opens no further connection. And against one
// that takes them all: what the pool brings counts towards the speed.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>

#include "app/transferrate.h"
#include "news/harvestrun.h"
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
        values.Server.Connections = 3;
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

// Answers every connection from a group of its own with the same articles:
// each has its current article, as a news server keeps it per connection.
// The pool's connections ask for articles by number. The walk's step past
// the last article waits until the pool has asked for every article (ten
// seconds at most): the walk's client, once the walk is over, would fetch
// what still waits itself.
class AllConnectionsServer {
public:
    explicit AllConnectionsServer(std::vector<FakeArticle> articles)
        : articles_(std::move(articles))
        , server_([](int) { return std::string("200 scripted news server\r\n"); },
              [this](int connection, const std::string& command) { return Reply(connection, command); })
    {
    }

    std::string Address() const { return server_.Address(); }
    std::string GroupName() const { return FakeNewsGroup().name; }

private:
    std::vector<FakeArticle> articles_;
    std::mutex mutex_;
    std::condition_variable pooled_;
    int pooledCount_ = 0;
    int walkSteps_ = 0;
    std::map<int, std::unique_ptr<FakeNewsGroup>> groups_;
    // Last: its threads use the members above.
    PoolServer server_;

    Answer Reply(int connection, const std::string& command)
    {
        FakeNewsGroup& group = Group(connection);
        if (connection == 1 && command == "NEXT") {
            std::unique_lock lock(mutex_);
            if (++walkSteps_ == int(articles_.size()))
                pooled_.wait_for(
                    lock, std::chrono::seconds(10), [&] { return pooledCount_ >= int(articles_.size()); });
        }
        if (!command.starts_with("ARTICLE "))
            return Answer { group.Reply(command).value_or("") };
        // As STAT n and ARTICLE, which the group knows.
        group.Reply("STAT " + command.substr(8));
        Answer answer { group.Reply("ARTICLE").value_or("") };
        const std::lock_guard lock(mutex_);
        ++pooledCount_;
        pooled_.notify_all();
        return answer;
    }

    FakeNewsGroup& Group(int connection)
    {
        const std::lock_guard lock(mutex_);
        std::unique_ptr<FakeNewsGroup>& group = groups_[connection];
        if (!group) {
            group = std::make_unique<FakeNewsGroup>();
            group->articles = articles_;
        }
        return *group;
    }
};

// The parts of a post, fetched on the pool's connections, count towards
// the speed as their headers tell their size, also when their marker lies
// beyond what the status bar shows of a subject.
TEST_F(WindowTest, PartsThePoolBringsCountTowardsTheSpeed)
{
    const std::string picture = UUBody("long.bmp", PictureBytes({ 16, 16 }));
    std::vector<FakeArticle> parts;
    for (int part = 1; part <= 3; ++part) {
        const size_t third = picture.size() / 3;
        // Cut at line ends: each part holds whole uuencoded lines.
        const size_t begin = part == 1 ? 0 : picture.find("\r\n", third * size_t(part - 1)) + 2;
        const size_t end = part == 3 ? picture.size() : picture.find("\r\n", third * size_t(part)) + 2;
        parts.push_back(
            FakeArticle { std::string(300, '-') + " \"long.bmp\" (" + std::to_string(part) + "/3)", 200,
                picture.substr(begin, end - begin) });
    }
    const AllConnectionsServer server(parts);
    TfrmMain& form = Start();
    form.msNNTP->Server = server.Address();
    form.msNNTP->TimeOut = 20;
    form.msNNTP->UseOverview = false;
    TSetupValues values = form.SetupValues();
    values.Server.Connections = 3;
    ASSERT_TRUE(form.ApplySetup(values));
    form.NGEdit->setCurrentText(QString::fromStdString(server.GroupName()));

    const qint64 before = QDeadlineTimer::current().deadline();
    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(form.Pictures().size(), 1);
    // The meter started after before: over its shortest span, a second,
    // its rate is the bytes it counted.
    EXPECT_EQ(form.TransferRate->Meter().BytesPerSecond(before + 1000), 3 * ExpectedArticleBytes("", "200"));
}

} // namespace
} // namespace lumigrab
