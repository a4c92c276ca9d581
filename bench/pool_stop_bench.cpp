// Stop on a pool of fetching connections: the time from Stop to every
// connection ended (the pool gone, each connection's thread joined), with
// 1, 3 and 9 pooled connections against a scripted server on 127.0.0.1:
// - BM_StopWhileArticlesAreOnTheirWay: every connection waits for an
//   article the server never sends;
// - BM_StopAsTheConnectionsStart: Stop right after the first article is
//   handed over, while the connections are still coming up, against a
//   server that greets only after 5 s (as INN does where the lookup of its
//   own host name waits for a name server that does not answer).
// The target is "at once": a few milliseconds, nothing of the server's 5 s.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "news/fetchpool.h"
#include "tests/support/pool_server.h"

namespace lumigrab {
namespace {

using Clock = std::chrono::steady_clock;
using testing::Answer;
using testing::PoolServer;

constexpr auto SlowGreeting = std::chrono::seconds(5);

void EnsureApplication()
{
    static std::unique_ptr<QCoreApplication> application = [] {
        static int argc = 1;
        static char name[] = "pool_stop_bench";
        static char* argv[] = { name, nullptr };
        return std::make_unique<QCoreApplication>(argc, argv);
    }();
}

// Answers GROUP; ARTICLE is counted and never answered.
Answer Reader(const std::string& command, std::atomic<int>& articlesAsked)
{
    if (command.starts_with("GROUP "))
        return { "211 100 1 100 " + command.substr(6) + "\r\n" };
    if (command.starts_with("ARTICLE ")) {
        ++articlesAsked;
        return { "" };
    }
    if (command == "QUIT")
        return { "205 bye\r\n", true };
    return { "500 what?\r\n" };
}

TFetchOrder Order(int32_t number)
{
    TFetchOrder order;
    order.number = number;
    order.keep = [](const TmsArticle&) { return std::function<void()>(); };
    return order;
}

// The server of one round; released ends its held greetings.
struct TRound {
    std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> articlesAsked = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<PoolServer> server;

    explicit TRound(bool slowGreeting)
    {
        server = std::make_unique<PoolServer>(
            [slowGreeting, released = released](int) {
                const auto until = Clock::now() + SlowGreeting;
                while (slowGreeting && !*released && Clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return std::string("200 pool bench server\r\n");
            },
            [asked = articlesAsked](int, const std::string& command) { return Reader(command, *asked); });
    }

    ~TRound()
    {
        *released = true;
        server.reset();
    }

    std::unique_ptr<TFetchPool> Pool(int connections) const
    {
        TFetchSettings settings;
        settings.server.Server = server->Address();
        settings.newsGroup = "pool.bench";
        settings.timeOut = 600;
        return std::make_unique<TFetchPool>(settings, connections);
    }
};

// Stop, then the pool's end, which waits for every connection's thread.
double SecondsToStop(std::unique_ptr<TFetchPool>& pool)
{
    const auto start = Clock::now();
    pool->Stop();
    pool.reset();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_StopWhileArticlesAreOnTheirWay(benchmark::State& state)
{
    EnsureApplication();
    const auto connections = int(state.range(0));
    for (auto _ : state) {
        const TRound round(false);
        auto pool = round.Pool(connections);
        for (int number = 1; number <= connections; ++number)
            pool->Submit(Order(number));
        while (*round.articlesAsked < connections)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        state.SetIterationTime(SecondsToStop(pool));
    }
}
BENCHMARK(BM_StopWhileArticlesAreOnTheirWay)
    ->Arg(1)
    ->Arg(3)
    ->Arg(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

void BM_StopAsTheConnectionsStart(benchmark::State& state)
{
    EnsureApplication();
    const auto connections = int(state.range(0));
    for (auto _ : state) {
        const TRound round(true);
        auto pool = round.Pool(connections);
        pool->Submit(Order(1));
        state.SetIterationTime(SecondsToStop(pool));
    }
}
BENCHMARK(BM_StopAsTheConnectionsStart)
    ->Arg(1)
    ->Arg(3)
    ->Arg(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

} // namespace
} // namespace lumigrab
