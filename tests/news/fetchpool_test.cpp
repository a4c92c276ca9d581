// The pool of fetching connections against a scripted server that answers
// several connections at once: refusals, a connection dropped in the middle
// of an article, an article gone, Stop.
#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "news/fetchpool.h"
#include "tests/support/pool_server.h"
#include "tests/support/qt_environment.h"

namespace lumigrab {
namespace {

using testing::Answer;
using testing::PoolServer;
using Strings = std::vector<std::string>;

constexpr int Articles = 6;

std::string ArticleText(int number)
{
    const std::string n = std::to_string(number);
    return "220 " + n + " <" + n + "@pool.test>\r\nSubject: article " + n + "\r\nMessage-ID: <" + n
        + "@pool.test>\r\n\r\nbody " + n + "\r\n.\r\n";
}

// A group of Articles articles; login answered as told.
Answer Reader(const std::string& command, const std::string& passwordReply = "281 welcome\r\n")
{
    if (command.starts_with("GROUP "))
        return { "211 " + std::to_string(Articles) + " 1 " + std::to_string(Articles) + " "
            + command.substr(6) + "\r\n" };
    if (command.starts_with("ARTICLE "))
        return { ArticleText(std::stoi(command.substr(8))) };
    if (command.starts_with("AUTHINFO USER"))
        return { "381 password\r\n" };
    if (command.starts_with("AUTHINFO PASS"))
        return { passwordReply, !passwordReply.starts_with("2") };
    if (command == "QUIT")
        return { "205 bye\r\n", true };
    return { "500 what?\r\n" };
}

std::string Welcome(int)
{
    return "200 pool test server\r\n";
}

class FetchPoolTest : public ::testing::Test {
protected:
    // Follow-ups, in the order they ran on this thread.
    std::vector<int32_t> done;
    Strings lowered, skipped;
    std::atomic<int> keptOffThisThread = 0;
    std::unique_ptr<PoolServer> server;
    // Last, so that it goes first: its last results still come as it goes.
    std::unique_ptr<TFetchPool> pool;

    void Start(int size, std::function<std::string(int)> greeting, PoolServer::Script script,
        const std::string& user = {})
    {
        server = std::make_unique<PoolServer>(std::move(greeting), std::move(script));
        TFetchSettings settings;
        settings.server = server->Address();
        settings.newsGroup = "pool.test";
        settings.timeOut = 600;
        settings.userName = user;
        settings.password = user.empty() ? "" : "secret";
        pool = std::make_unique<TFetchPool>(settings, size);
        pool->OnPoolLowered = [this](const std::string& report) { lowered.push_back(report); };
        pool->OnArticleSkipped = [this](const std::string& subject, const std::string& reason) {
            skipped.push_back(subject + ": " + reason);
        };
    }

    TFetchOrder Order(int32_t number)
    {
        TFetchOrder order;
        order.number = number;
        order.subject = "article " + std::to_string(number);
        const auto owner = std::this_thread::get_id();
        order.keep = [this, number, owner](const TmsArticle& article) -> std::function<void()> {
            if (std::this_thread::get_id() != owner && article.Body().Count() == 1
                && article.Body().Strings(0) == "body " + std::to_string(number))
                ++keptOffThisThread;
            return [this, number, owner] {
                EXPECT_EQ(std::this_thread::get_id(), owner);
                done.push_back(number);
            };
        };
        return order;
    }

    // Hands every article over (the third twice) and drains; what the pool
    // handed back is returned.
    std::vector<int32_t> SubmitAllAndDrain()
    {
        std::vector<int32_t> returned;
        for (int number = 1; number <= Articles; ++number) {
            EXPECT_TRUE(pool->Submit(Order(number)));
            if (number == 3) {
                EXPECT_TRUE(pool->Submit(Order(number))) << "taken as done";
            }
        }
        pool->Drain();
        // Fast articles may all be done before the last connection is in.
        while (!pool->Settled())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        for (const TFetchOrder& order : pool->TakeReturned())
            returned.push_back(order.number);
        return returned;
    }

    static std::vector<int32_t> AllNumbers()
    {
        std::vector<int32_t> numbers;
        for (int number = 1; number <= Articles; ++number)
            numbers.push_back(number);
        return numbers;
    }

    std::vector<int32_t> DoneSorted() const
    {
        std::vector<int32_t> sorted = done;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
};

// Each article is fetched once, decoded and kept on a pooled thread, and
// its follow-up runs on the owner's.
TEST_F(FetchPoolTest, FetchesEachArticleOnceOnItsOwnThreads)
{
    Start(3, Welcome, [](int, const std::string& command) { return Reader(command); });
    EXPECT_TRUE(SubmitAllAndDrain().empty());
    EXPECT_EQ(DoneSorted(), AllNumbers());
    EXPECT_EQ(keptOffThisThread, Articles);
    for (int number = 1; number <= Articles; ++number)
        EXPECT_EQ(server->Count("ARTICLE " + std::to_string(number)), 1) << number;
    EXPECT_TRUE(lowered.empty());
    EXPECT_EQ(pool->Working(), 3);
}

// Connections refused at the greeting or at the login lower the pool,
// reported once; when all are refused the articles go back to the owner.
TEST_F(FetchPoolTest, RefusedConnectionsLowerThePool)
{
    struct Case {
        const char* name;
        int refusedFrom;
        bool atLogin;
        const char* report;
    };
    for (const Case& c : { Case { "greeting", 2, false, "2 connections refused: fetching with 1" },
             Case { "login", 3, true, "1 connection refused: fetching with 2" },
             Case { "all", 1, false, "3 connections refused: fetching with 1" } }) {
        SCOPED_TRACE(c.name);
        done.clear();
        lowered.clear();
        keptOffThisThread = 0;
        pool.reset();
        auto greeting = [c](int connection) {
            return !c.atLogin && connection >= c.refusedFrom ? std::string("502 too many connections\r\n")
                                                             : Welcome(connection);
        };
        Start(
            3, greeting,
            [c](int connection, const std::string& command) {
                return Reader(command,
                    c.atLogin && connection >= c.refusedFrom ? "481 too many connections\r\n"
                                                             : "281 welcome\r\n");
            },
            c.atLogin ? "someone" : "");
        const std::vector<int32_t> returned = SubmitAllAndDrain();
        EXPECT_EQ(lowered, Strings { c.report });
        if (c.refusedFrom == 1) {
            EXPECT_EQ(returned, AllNumbers()) << "handed back in order";
            EXPECT_TRUE(done.empty());
            EXPECT_FALSE(pool->Submit(Order(1))) << "the owner fetches from now on";
        } else {
            EXPECT_TRUE(returned.empty());
            EXPECT_EQ(DoneSorted(), AllNumbers());
            EXPECT_EQ(pool->Working(), c.refusedFrom - 1);
        }
    }
}

// A connection that drops in the middle of an article hands it on; an
// article the server no longer has is reported and not retried.
TEST_F(FetchPoolTest, ADroppedArticleIsFetchedAgainAndAGoneOneReported)
{
    std::atomic<bool> dropped = false;
    Start(2, Welcome, [&dropped](int, const std::string& command) -> Answer {
        if (command == "ARTICLE 2" && !dropped.exchange(true))
            return { ArticleText(2).substr(0, 30), true };
        if (command == "ARTICLE 5")
            return { "430 No such article\r\n" };
        return Reader(command);
    });
    EXPECT_TRUE(SubmitAllAndDrain().empty());
    EXPECT_EQ(DoneSorted(), (std::vector<int32_t> { 1, 2, 3, 4, 6 }));
    EXPECT_EQ(server->Count("ARTICLE 2"), 2);
    EXPECT_EQ(server->Count("ARTICLE 5"), 1);
    EXPECT_EQ(skipped, Strings { "article 5: Gone from the server (430 No such article)" });
}

// An article that breaks every connection it is tried on ends the run.
TEST_F(FetchPoolTest, AnArticleThatKeepsBreakingConnectionsEndsTheRun)
{
    Start(2, Welcome, [](int, const std::string& command) -> Answer {
        if (command == "ARTICLE 4")
            return { "220 4 <4@pool.test>\r\n", true };
        return Reader(command);
    });
    Strings errors;
    pool->OnError = [&errors](const std::string& message) { errors.push_back(message); };
    EXPECT_THROW(SubmitAllAndDrain(), ESocketError);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(server->Count("ARTICLE 4"), 3);
    EXPECT_FALSE(pool->Accepting());
}

// Stop reaches connections that wait for an answer that never comes.
TEST_F(FetchPoolTest, StopCancelsEveryConnectionAtOnce)
{
    Start(3, Welcome, [](int, const std::string& command) -> Answer {
        if (command.starts_with("ARTICLE "))
            return { "" };
        return Reader(command);
    });
    for (int number = 1; number <= Articles; ++number)
        ASSERT_TRUE(pool->Submit(Order(number)));
    QTimer::singleShot(200, [this] { pool->Stop(); });
    EXPECT_THROW(pool->Drain(), ECanceledError);
    EXPECT_TRUE(done.empty());
    EXPECT_FALSE(pool->Submit(Order(1)));
    pool.reset();
    EXPECT_EQ(server->Count("QUIT"), 0) << "cancelled, not said goodbye";
}

// An article whose pictures are being saved as Stop comes still reports
// them (its files are on disk, so the owner must show and record them),
// also when the pool goes right after Stop.
TEST_F(FetchPoolTest, AnArticleKeptAsStopComesIsStillReported)
{
    Start(1, Welcome, [](int, const std::string& command) { return Reader(command); });
    std::atomic<bool> keeping = false;
    std::atomic<bool> stopped = false;
    TFetchOrder order = Order(1);
    order.keep = [&keeping, &stopped, keep = order.keep](const TmsArticle& article) {
        keeping = true;
        while (!stopped)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return keep(article);
    };
    ASSERT_TRUE(pool->Submit(std::move(order)));
    while (!keeping)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    pool->Stop();
    stopped = true;
    pool.reset();
    EXPECT_EQ(done, std::vector<int32_t> { 1 });
}

} // namespace
} // namespace lumigrab
