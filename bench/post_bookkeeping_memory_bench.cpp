// The bookkeeping of multi-part posts at its limit: DefaultMaxTrackedPosts
// unfinished posts followed at once, each announced by the first of its two
// parts, foreseen and then added in batches as an overview walk does.
// Reported: the heap the bookkeeping holds at its peak, in all and per
// post, for subjects of a usual length and for subjects as long as a
// hostile server may send (MaxOverviewValue, 16 KB). Whatever the subject's
// length, a post must cost about what a usual one does: beyond kBoundMiB
// for the long subjects the run fails.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "news/overview.h"
#include "news/partmarker.h"
#include "news/postcollector.h"

namespace {

constexpr double kBoundMiB = 16;
// Headers foreseen before they are added, as one overview range brings them.
constexpr int kBatch = 1000;

// Heap bytes in use through operator new, and the most since ResetPeak.
std::atomic<size_t> liveBytes { 0 };
std::atomic<size_t> peakBytes { 0 };

void Allocated(void* block)
{
    const size_t now = liveBytes += malloc_usable_size(block);
    size_t peak = peakBytes.load(std::memory_order_relaxed);
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) { }
}

void* Allocate(size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block)
        throw std::bad_alloc();
    Allocated(block);
    return block;
}

void Release(void* block) noexcept
{
    if (!block)
        return;
    liveBytes -= malloc_usable_size(block);
    std::free(block);
}

void ResetPeak()
{
    peakBytes = liveBytes.load();
}

// The subject of part 1 of 2 of post number index, length bytes long: the
// number at both ends, so that subjects differ where a cut would not see
// it, and no double quote, so that the whole subject names the post.
std::string Subject(int index, size_t length)
{
    const std::string number = std::to_string(index);
    std::string subject = number + " ";
    const std::string tail = " " + number + " (1/2)";
    subject.append(length - std::min(length, subject.size() + tail.size()), 'x');
    return subject + tail;
}

void BM_TrackedPosts(benchmark::State& state)
{
    const size_t length = size_t(state.range(0));
    const int posts = int(lumigrab::DefaultMaxTrackedPosts);
    double held = 0;
    for (auto _ : state) {
        const size_t before = liveBytes;
        ResetPeak();
        {
            lumigrab::TPostCollector collector;
            for (int first = 0; first < posts; first += kBatch) {
                const int end = std::min(posts, first + kBatch);
                for (int index = first; index < end; ++index)
                    collector.Foresee(
                        *lumigrab::ReadPartMarker(Subject(index, length)), "poster@example.org", index + 1);
                for (int index = first; index < end; ++index)
                    collector.Add(
                        *lumigrab::ReadPartMarker(Subject(index, length)), "poster@example.org", index + 1);
            }
            if (collector.Count() != size_t(posts))
                state.SkipWithError("posts merged or dropped");
        }
        held = double(peakBytes - before);
    }
    const double mib = held / (1024 * 1024);
    state.counters["posts"] = posts;
    state.counters["peak_MiB"] = mib;
    state.counters["bytes_per_post"] = held / posts;
    if (length == lumigrab::MaxOverviewValue && mib > kBoundMiB)
        state.SkipWithError(
            ("the bookkeeping grows with the subjects: " + std::to_string(mib) + " MiB").c_str());
}

// A binary group's floods: posts whose first part comes and no other, five
// times as many as are followed, so that from the first tenth on each new
// post drops the oldest. The time per post is what a header of such a group
// costs the walk.
void BM_FloodOfUnfinishedPosts(benchmark::State& state)
{
    const int posts = 5 * int(lumigrab::DefaultMaxTrackedPosts);
    for (auto _ : state) {
        lumigrab::TPostCollector collector;
        for (int index = 0; index < posts; ++index)
            collector.Add(*lumigrab::ReadPartMarker(Subject(index, 80)), "poster@example.org", index + 1);
        if (collector.Count() != lumigrab::DefaultMaxTrackedPosts)
            state.SkipWithError("the collector does not hold its bound");
    }
    state.SetItemsProcessed(state.iterations() * posts);
}

} // namespace

void* operator new(size_t size)
{
    return Allocate(size);
}

void* operator new[](size_t size)
{
    return Allocate(size);
}

void operator delete(void* block) noexcept
{
    Release(block);
}

void operator delete[](void* block) noexcept
{
    Release(block);
}

void operator delete(void* block, size_t) noexcept
{
    Release(block);
}

void operator delete[](void* block, size_t) noexcept
{
    Release(block);
}

BENCHMARK(BM_TrackedPosts)
    ->Arg(80)
    ->Arg(255)
    ->Arg(int64_t(lumigrab::MaxOverviewValue))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloodOfUnfinishedPosts)->Iterations(3)->Unit(benchmark::kMillisecond);
