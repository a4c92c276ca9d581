// The largest heap block allocated while some code runs, on any thread, as
// the address sanitizer's allocator sees it. Decoders of strangers' files
// must check declared sizes against the data before allocating; this is how
// tests and fuzzers see that they do. Without the sanitizer nothing can be
// watched and the result is empty.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#if defined(__SANITIZE_ADDRESS__)
#define LUMIGRAB_WATCH_ALLOCATIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMIGRAB_WATCH_ALLOCATIONS 1
#endif
#endif

#ifdef LUMIGRAB_WATCH_ALLOCATIONS
// In the sanitizer runtimes of gcc and clang; only clang's headers have it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*mallocHook)(const volatile void*, size_t), void (*freeHook)(const volatile void*));
#endif

namespace lumigrab::testing {

#ifdef LUMIGRAB_WATCH_ALLOCATIONS
inline std::atomic<size_t> largestAllocation { 0 };

inline void RecordAllocation(const volatile void*, size_t size)
{
    size_t largest = largestAllocation.load(std::memory_order_relaxed);
    while (size > largest
        && !largestAllocation.compare_exchange_weak(largest, size, std::memory_order_relaxed)) { }
}

inline void IgnoreFree(const volatile void*) { }
#endif

// Once per program (the sanitizer keeps only a few hooks), best before other
// threads start; LargestAllocationDuring calls it too.
inline bool InstallAllocationHooks()
{
#ifdef LUMIGRAB_WATCH_ALLOCATIONS
    static const bool installed
        = __sanitizer_install_malloc_and_free_hooks(RecordAllocation, IgnoreFree) != 0;
    return installed;
#else
    return false;
#endif
}

template <typename Body> std::optional<size_t> LargestAllocationDuring(Body&& body)
{
#ifdef LUMIGRAB_WATCH_ALLOCATIONS
    const bool installed = InstallAllocationHooks();
    largestAllocation = 0;
    body();
    if (installed)
        return largestAllocation.load();
#else
    body();
#endif
    return std::nullopt;
}

} // namespace lumigrab::testing
