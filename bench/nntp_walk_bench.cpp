// Header walk and picture harvest against a news server on 127.0.0.1
// (LUMIGRAB_NNTP_PORT). bench/nntp_walk_vs_nntplib.sh starts the server,
// posts the articles and compares these timings with Python's nntplib.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "bench/nntp_bench_client.h"
#include "news/harvest.h"

namespace lumigrab {
namespace {

using namespace bench;

// One HEAD and one NEXT per article, from the first to the last.
void BM_WalkHeaders(benchmark::State& state)
{
    int headers = 0;
    for (auto _ : state) {
        TmsArticle article;
        TmsNNTP client;
        PrepareClient(client, article);
        client.SetNewsGroup(SmallGroup);
        client.RetrieveHeaders(0, false);
        headers = client.HeaderList.Count();
        client.Disconnect();
    }
    state.counters["headers"] = headers;
    state.counters["headers_per_second"]
        = benchmark::Counter(double(headers) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WalkHeaders)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The walk plus STAT, HEAD and ARTICLE, decoding and writing for every
// picture article.
void BM_HarvestPictures(benchmark::State& state)
{
    const std::filesystem::path folder
        = std::filesystem::temp_directory_path() / ("lumigrab-bench-" + std::to_string(::getpid()));
    int kept = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        kept = 0;
        state.ResumeTiming();
        TmsArticle article;
        TmsNNTP client;
        PrepareClient(client, article);
        THarvest harvest(client, folder.string());
        harvest.OnPictureKept = [&](const std::string&) { ++kept; };
        client.OnNextHeaderRetrieved
            = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
        client.SetNewsGroup(PictureGroup);
        client.RetrieveHeaders(0, false);
        client.Disconnect();
    }
    std::filesystem::remove_all(folder);
    state.counters["pictures"] = kept;
}
BENCHMARK(BM_HarvestPictures)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace
} // namespace lumigrab
