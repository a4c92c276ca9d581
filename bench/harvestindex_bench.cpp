// The picture folder's index at the size of a long-kept folder: a million
// harvested articles. Loading it is the first thing a harvest does, so it
// must take well under a second; the counters give the memory it holds.
// Beside it, an index of 200 MB of junk without a line feed, planted or
// left by a broken disk: loading it must hold no more than a few megabytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/process_memory.h"
#include "news/harvestindex.h"
#include "tests/support/scratch_folder.h"

namespace {

std::string IdOf(int64_t i)
{
    return "<part1of1." + std::to_string(i * 2654435761u % 1000000007u) + ".x" + std::to_string(i)
        + "@news.example.org>";
}

// A folder whose index holds count articles, each with a picture name.
class TIndexFolder : public lumigrab::ScratchFolder {
public:
    explicit TIndexFolder(int64_t count)
        : ScratchFolder("lumigrab-bench")
    {
        std::ofstream file(Path() / ".lumigrab-index", std::ios::binary);
        for (int64_t i = 0; i < count; ++i)
            file << IdOf(i) << "\tpicture" << i << ".jpg\n";
    }
};

void BM_LoadIndex(benchmark::State& state)
{
    const TIndexFolder folder(state.range(0));
    size_t memory = 0;
    for (auto _ : state) {
        lumigrab::TFolderIndex index(folder.Path());
        benchmark::DoNotOptimize(index.Contains(IdOf(state.range(0) / 2)));
        memory = index.Ids().MemoryBytes();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
    state.counters["index_MB"] = double(std::filesystem::file_size(folder.Path() / ".lumigrab-index")) / 1e6;
    state.counters["memory_MB"] = double(memory) / 1e6;
}
BENCHMARK(BM_LoadIndex)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// A question per header of a walk, against a million ids.
void BM_LookUp(benchmark::State& state)
{
    const TIndexFolder folder(1000000);
    lumigrab::TFolderIndex index(folder.Path());
    index.Contains("<warm-up@test>");
    int64_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(index.Contains(IdOf(i++ % 2000000)));
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_LookUp);

// Recording as the harvest does, a line and a write per article.
void BM_Record(benchmark::State& state)
{
    const TIndexFolder folder(0);
    lumigrab::TFolderIndex index(folder.Path());
    int64_t i = 0;
    for (auto _ : state)
        index.Record(IdOf(i++), { "picture.jpg" });
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_Record);

void BM_LoadJunkIndex(benchmark::State& state)
{
    constexpr double BoundMiB = 8;
    const TIndexFolder folder(0);
    {
        std::ofstream file(folder.Path() / ".lumigrab-index", std::ios::binary);
        const std::vector<char> junk(size_t(1) << 20, 'j');
        for (int i = 0; i < 200; ++i)
            file.write(junk.data(), std::streamsize(junk.size()));
    }
    double added = 0;
    for (auto _ : state) {
        lumigrab::bench::ResetPeak();
        const double before = lumigrab::bench::StatusMiB("VmHWM");
        lumigrab::TFolderIndex index(folder.Path());
        benchmark::DoNotOptimize(index.Contains("<1@test>"));
        added = std::max(added, lumigrab::bench::StatusMiB("VmHWM") - before);
    }
    state.counters["index_MB"] = double(std::filesystem::file_size(folder.Path() / ".lumigrab-index")) / 1e6;
    state.counters["added_MiB"] = added;
    state.counters["bound_MiB"] = BoundMiB;
    if (added > BoundMiB)
        state.SkipWithError("loading junk held more than the bound");
}
BENCHMARK(BM_LoadJunkIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
