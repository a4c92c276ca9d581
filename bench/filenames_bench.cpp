// Saving many attachments of one name into one folder, as a harvest of a
// group full of "x.jpg" does: each copy should cost a few file-system calls,
// not one per copy already there.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/filenames.h"

namespace {

std::string FreshFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "lumigrab-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

// Saves count files into a fresh folder under the names nameOf gives.
template <typename NameOf> void SaveFiles(benchmark::State& state, NameOf nameOf)
{
    const auto copies = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::string folder = FreshFolder();
        state.ResumeTiming();
        for (int i = 0; i < copies; ++i)
            lumigrab::SaveNewFile(folder, nameOf(i), "picture bytes");
        state.PauseTiming();
        std::filesystem::remove_all(folder);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * copies);
}

void BM_SaveDuplicates(benchmark::State& state)
{
    SaveFiles(state, [](int) { return std::string("x.jpg"); });
}
BENCHMARK(BM_SaveDuplicates)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The floor: as many files under names of their own.
void BM_SaveDistinct(benchmark::State& state)
{
    SaveFiles(state, [](int i) { return std::string("x").append(std::to_string(i)).append(".jpg"); });
}
BENCHMARK(BM_SaveDistinct)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
