// The picture folder's index at the size of a long-kept folder: a million
// harvested articles. Loading it is the first thing a harvest does, so it
// must take well under a second; the counters give the memory it holds.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

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

} // namespace
