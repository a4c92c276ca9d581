// Saving many attachments of one name into one folder, as a harvest of a
// group full of "x.jpg" does: each copy should cost a few file-system calls,
// not one per copy already there.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "base/filenames.h"
#include "tests/support/scratch_folder.h"

namespace {

// Saves count files into a fresh folder under the names nameOf gives.
template <typename NameOf> void SaveFiles(benchmark::State& state, NameOf nameOf)
{
    const auto copies = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<lumigrab::ScratchFolder> folder(std::in_place, "lumigrab-bench");
        state.ResumeTiming();
        for (int i = 0; i < copies; ++i)
            lumigrab::SaveNewFile(folder->Path(), nameOf(i), "picture bytes");
        state.PauseTiming();
        folder.reset();
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
