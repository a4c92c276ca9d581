// Header walk and picture harvest across a slow network: the news server
// (LUMIGRAB_NNTP_PORT on 127.0.0.1) is reached through a proxy that delays
// every byte. bench/nntp_overview_vs_nntplib.sh starts the server and the
// proxy, posts the articles and compares these timings with Python's
// nntplib. Each walk is timed from after GROUP to its end, as nntplib's
// over() is; the HEAD walk, at two round trips per header, runs once.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "message/msmsg.h"
#include "news/harvest.h"
#include "news/msnntp.h"

namespace lumigrab {
namespace {

const char* const SmallGroup = "lumigrab.bench.small";
const char* const PictureGroup = "lumigrab.bench.pictures";

std::string ServerAddress()
{
    const char* port = std::getenv("LUMIGRAB_NNTP_PORT");
    return std::string("127.0.0.1:") + (port ? port : "119");
}

QCoreApplication& Application()
{
    static int argc = 1;
    static char name[] = "nntp_latency_bench";
    static char* argv[] = { name, nullptr };
    static QCoreApplication application(argc, argv);
    return application;
}

void PrepareClient(TmsNNTP& client, TmsArticle& article, bool useOverview)
{
    Application();
    client.SetWinsockLoaded(true);
    client.Server = ServerAddress();
    client.TimeOut = 60;
    client.SetArticle(&article);
    client.UseOverview = useOverview;
}

template <typename Work> double Seconds(Work&& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Arg 1: overview walk; 0: one HEAD and one NEXT per article.
void BM_WalkHeaders(benchmark::State& state)
{
    int headers = 0;
    for (auto _ : state) {
        TmsArticle article;
        TmsNNTP client;
        PrepareClient(client, article, state.range(0) != 0);
        client.SetNewsGroup(SmallGroup);
        state.SetIterationTime(Seconds([&] { client.RetrieveHeaders(0, false); }));
        headers = client.HeaderList.Count();
        client.Disconnect();
    }
    state.counters["headers"] = headers;
}
BENCHMARK(BM_WalkHeaders)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_WalkHeaders)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

// The walk plus fetching, decoding and writing every picture article.
void BM_HarvestPictures(benchmark::State& state)
{
    const std::filesystem::path folder
        = std::filesystem::temp_directory_path() / ("lumigrab-latency-" + std::to_string(::getpid()));
    int kept = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        kept = 0;
        bytes = 0;
        TmsArticle article;
        TmsNNTP client;
        PrepareClient(client, article, state.range(0) != 0);
        THarvest harvest(client, folder.string());
        harvest.OnPictureKept = [&](const std::string& path) {
            ++kept;
            bytes += int64_t(std::filesystem::file_size(path));
        };
        client.OnNextHeaderRetrieved
            = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
        client.SetNewsGroup(PictureGroup);
        state.SetIterationTime(Seconds([&] { client.RetrieveHeaders(0, false); }));
        client.Disconnect();
    }
    std::filesystem::remove_all(folder);
    state.counters["pictures"] = kept;
    state.counters["picture_bytes"] = double(bytes);
}
BENCHMARK(BM_HarvestPictures)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_HarvestPictures)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

} // namespace
} // namespace lumigrab
