// Header walk and picture harvest across a slow network: the news server
// (LUMIGRAB_NNTP_PORT on 127.0.0.1) is reached through a proxy that delays
// every byte. bench/nntp_overview_vs_nntplib.sh starts the server and the
// proxy, posts the articles and compares these timings with Python's
// nntplib. Each walk is timed from after GROUP to its end, as nntplib's
// over() is; the HEAD walk, at two round trips per header, runs once.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "bench/nntp_bench_client.h"
#include "news/harvest.h"

namespace lumigrab {
namespace {

using namespace bench;

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
