// The pool of fetching connections against a scripted server that answers
// several connections at once: refusals and connections that cannot be
// made, a connection dropped in the middle of an article, an article gone,
// Stop, the connections' logs.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "news/fetchpool.h"
#include "tests/support/pool_server.h"
#include "tests/support/qt_environment.h"
#include "tests/support/script_server.h"

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
    std::vector<TArticleNumber> done;
    Strings lowered, skipped;
    std::atomic<int> keptOffThisThread = 0;
    std::unique_ptr<PoolServer> server;
    // Last, so that it goes first: its last results still come as it goes.
    std::unique_ptr<TFetchPool> pool;

    void Start(int size, std::function<std::string(int)> greeting, PoolServer::Script script,
        const std::string& user = {}, const std::function<void(TFetchSettings&)>& adjust = {})
    {
        server = std::make_unique<PoolServer>(std::move(greeting), std::move(script));
        TFetchSettings settings;
        settings.server.Server = server->Address();
        settings.newsGroup = "pool.test";
        settings.timeOut = 600;
        settings.server.UserName = user;
        settings.server.Password = user.empty() ? "" : "secret";
        if (adjust)
            adjust(settings);
        pool = std::make_unique<TFetchPool>(settings, size);
        pool->OnPoolLowered = [this](const std::string& report) { lowered.push_back(report); };
        pool->OnArticleSkipped = [this](const std::string& subject, const std::string& reason) {
            skipped.push_back(subject + ": " + reason);
        };
    }

    TFetchOrder Order(TArticleNumber number)
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
    std::vector<TArticleNumber> SubmitAllAndDrain()
    {
        std::vector<TArticleNumber> returned;
        EXPECT_FALSE(pool->Started()) << "no connection before the first article";
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

    static std::vector<TArticleNumber> AllNumbers()
    {
        std::vector<TArticleNumber> numbers;
        for (int number = 1; number <= Articles; ++number)
            numbers.push_back(number);
        return numbers;
    }

    std::vector<TArticleNumber> DoneSorted() const
    {
        std::vector<TArticleNumber> sorted = done;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
};

// How the connections start decides the pool's size. Each article is
// fetched once, decoded and kept on a pooled thread, its follow-up run on
// the owner's. The server's refusals (of the greeting, the login, the group)
// and connections that cannot be made lower the pool, told once for what
// they are; when none is left the articles go back to the owner.
TEST_F(FetchPoolTest, ConnectionsThatDoNotStartLowerThePool)
{
    enum class How { Works, GreetingRefused, LoginRefused, GroupRefused, HungUp };
    struct Case {
        const char* name;
        // By the order the server accepts them; empty: nothing listens.
        std::vector<How> connections;
        const char* report;
    };
    using enum How;
    for (const Case& c : {
             Case { "all work", { Works, Works, Works }, "" },
             Case { "greeting", { Works, GreetingRefused, GreetingRefused },
                 "2 connections refused: fetching with 1" },
             Case { "login", { Works, Works, LoginRefused }, "1 connection refused: fetching with 2" },
             Case { "group", { GroupRefused, Works, Works }, "1 connection refused: fetching with 2" },
             Case { "all refused", { GreetingRefused, LoginRefused, GreetingRefused },
                 "3 connections refused: fetching with 1" },
             Case { "hung up", { Works, HungUp, GreetingRefused },
                 "1 connection refused, 1 connection failed (Connection closed by the server): fetching with "
                 "1" },
             Case { "no server", {}, "3 connections failed ([10061] Connection refused): fetching with 1" },
         }) {
        SCOPED_TRACE(c.name);
        // The last case's pool hands over what it still holds as it goes.
        pool.reset();
        done.clear();
        lowered.clear();
        keptOffThisThread = 0;
        const auto how = [c](int connection) { return c.connections.at(size_t(connection - 1)); };
        const auto greeting = [how](int connection) {
            const How start = how(connection);
            return start == GreetingRefused ? "502 too many connections\r\n"
                : start == HungUp           ? std::string()
                                            : Welcome(connection);
        };
        Start(
            3, greeting,
            [how](int connection, const std::string& command) {
                if (how(connection) == GroupRefused && command.starts_with("GROUP "))
                    return Answer { "502 no permission\r\n" };
                return Reader(command,
                    how(connection) == LoginRefused ? "481 too many connections\r\n" : "281 welcome\r\n");
            },
            "someone",
            [&c, this](TFetchSettings& settings) {
                if (c.connections.empty())
                    settings.server.Server = "127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort());
            });
        const std::vector<TArticleNumber> returned = SubmitAllAndDrain();
        EXPECT_EQ(lowered, *c.report ? Strings { c.report } : Strings {});
        const int working = int(std::count(c.connections.begin(), c.connections.end(), Works));
        EXPECT_EQ(pool->Working(), working);
        if (working == 0) {
            EXPECT_EQ(returned, AllNumbers()) << "handed back in order";
            EXPECT_TRUE(done.empty());
            EXPECT_FALSE(pool->Submit(Order(1))) << "the owner fetches from now on";
            continue;
        }
        EXPECT_TRUE(returned.empty());
        EXPECT_EQ(DoneSorted(), AllNumbers());
        EXPECT_EQ(keptOffThisThread, Articles);
        for (int number = 1; number <= Articles; ++number)
            EXPECT_EQ(server->Count("ARTICLE " + std::to_string(number)), 1) << number;
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
    EXPECT_EQ(DoneSorted(), (std::vector<TArticleNumber> { 1, 2, 3, 4, 6 }));
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

// A reply of the number asked for that names another article's message-id
// (one the walk holds, or one handed to the pool) is never kept under the
// one asked for: the connection is given up and the article goes to
// another, or, when every try meets it, the run ends with the error.
TEST_F(FetchPoolTest, AReplyForAnotherArticleIsNotKept)
{
    // The walk holds the headers 1 to Articles, the orders name their
    // articles' message-ids; every ARTICLE 3 is answered with article 4, or
    // the first only.
    struct Case {
        const char* name;
        bool walkHolds, ordersNamed, always;
    };
    for (const Case& c : {
             Case { "a header the walk holds, once", true, false, false },
             Case { "a header the walk holds, always", true, false, true },
             Case { "an article handed over, once", false, true, false },
         }) {
        SCOPED_TRACE(c.name);
        // The last case's pool hands over what it still holds as it goes.
        pool.reset();
        done.clear();
        keptOffThisThread = 0;
        const auto id = [](int number) { return "<" + std::to_string(number) + "@pool.test>"; };
        auto walk = std::make_shared<THeaderIds>();
        for (int number = 1; number <= Articles; ++number)
            walk->Add(number, id(number));
        auto answered = std::make_shared<std::atomic<bool>>(false);
        // Article 3's reply waits until every order is handed over: only
        // then does the pool know the message-id it names.
        auto submitted = std::make_shared<std::atomic<bool>>(false);
        Start(
            2, Welcome,
            [always = c.always, answered, submitted](int, const std::string& command) -> Answer {
                for (int waited = 0; command == "ARTICLE 3" && !*submitted && waited < 5000; ++waited)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (command == "ARTICLE 3" && (always || !answered->exchange(true)))
                    return { "220 3" + ArticleText(4).substr(5) };
                return Reader(command);
            },
            {},
            [&](TFetchSettings& settings) {
                if (c.walkHolds)
                    settings.walkHeaderIds = walk;
            });
        Strings errors;
        pool->OnError = [&errors](const std::string& message) { errors.push_back(message); };
        for (int number = 1; number <= Articles; ++number) {
            TFetchOrder order = Order(number);
            if (c.ordersNamed)
                order.messageId = id(number);
            ASSERT_TRUE(pool->Submit(std::move(order)));
        }
        *submitted = true;
        if (c.always) {
            EXPECT_THROW(pool->Drain(), ESocketError);
            EXPECT_EQ(errors,
                Strings { "Reply out of step: asked for article <3@pool.test>, the server answered for "
                          "<4@pool.test>" });
            EXPECT_EQ(server->Count("ARTICLE 3"), 3);
            EXPECT_EQ(std::count(done.begin(), done.end(), 3), 0);
            continue;
        }
        pool->Drain();
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(DoneSorted(), AllNumbers());
        EXPECT_EQ(keptOffThisThread, Articles) << "each with its own body";
        EXPECT_EQ(server->Count("ARTICLE 3"), 2);
    }
}

// Stop reaches every connection at once: those that wait for an article the
// server never sends, and those that have not come up yet (Stop right after
// the first article is handed over), which then say nothing to the server,
// also when it greets them after the Stop.
TEST_F(FetchPoolTest, StopCancelsEveryConnectionAtOnce)
{
    struct Case {
        const char* name;
        // Whether the server holds its greeting until Stop, which comes
        // at once; otherwise it comes 200 ms after the articles.
        bool greetingHeldUntilStop;
    };
    for (const Case& c : {
             Case { "waiting for an article", false },
             Case { "not up yet", true },
         }) {
        SCOPED_TRACE(c.name);
        pool.reset();
        done.clear();
        const auto stopped = std::make_shared<std::atomic<bool>>(false);
        const auto greeting = [held = c.greetingHeldUntilStop, stopped](int connection) {
            while (held && !*stopped)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return Welcome(connection);
        };
        Start(3, greeting, [](int, const std::string& command) -> Answer {
            if (command.starts_with("ARTICLE "))
                return { "" };
            return Reader(command);
        });
        for (int number = 1; number <= Articles; ++number)
            ASSERT_TRUE(pool->Submit(Order(number)));
        const auto stop = [this, stopped] {
            pool->Stop();
            *stopped = true;
        };
        if (c.greetingHeldUntilStop)
            stop();
        else
            QTimer::singleShot(200, stop);
        EXPECT_THROW(pool->Drain(), ECanceledError);
        EXPECT_TRUE(done.empty());
        EXPECT_FALSE(pool->Submit(Order(1)));
        pool.reset();
        EXPECT_EQ(server->Count("QUIT"), 0) << "cancelled, not said goodbye";
        if (c.greetingHeldUntilStop) {
            EXPECT_EQ(server->Commands(), 0) << "a connection went on after Stop";
        }
    }
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
    EXPECT_EQ(done, std::vector<TArticleNumber> { 1 });
}

// Each pooled connection logs to a file numbered after it. A later pool of
// the session adds to the files an earlier one wrote, so that none of the
// session's exchanges is lost; otherwise each file starts afresh.
TEST_F(FetchPoolTest, ALaterPoolOfTheSessionAddsToTheLogs)
{
    const QTemporaryDir folder;
    for (const int loggedBefore : { 1, 2 }) {
        SCOPED_TRACE(loggedBefore);
        const std::string log = folder.filePath("pool.log").toStdString();
        for (const int number : { 1, 2 }) {
            pool.reset();
            Start(
                1, Welcome, [](int, const std::string& command) { return Reader(command); }, {},
                [&](TFetchSettings& settings) {
                    settings.server.LogFileName = log;
                    settings.loggedBefore = number == 1 ? 1 : loggedBefore;
                });
            ASSERT_TRUE(pool->Submit(Order(number)));
            pool->Drain();
            // The connection writes its log as it ends.
            pool.reset();
        }
        std::ifstream in(folder.filePath("pool-2.log").toStdString());
        const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(written.find("ARTICLE 1") != std::string::npos, loggedBefore == 2) << written;
        EXPECT_NE(written.find("ARTICLE 2"), std::string::npos) << written;
    }
}

} // namespace
} // namespace lumigrab
