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
#include <sanitizer/common_interface_defs.h>
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

template <typename Body> std::optional<size_t> LargestAllocationDuring(Body&& body)
{
#ifdef LUMIGRAB_WATCH_ALLOCATIONS
    static const bool installed
        = __sanitizer_install_malloc_and_free_hooks(RecordAllocation, IgnoreFree) != 0;
    largestAllocation = 0;
    body();
    if (installed)
        return largestAllocation.load();
    return std::nullopt;
#else
    body();
    return std::nullopt;
#endif
}

} // namespace lumigrab::testing
