// The fuzz targets' property check: a broken property stops the run where
// the fuzzer sees it, with the input that broke it.
#pragma once

namespace lumigrab_fuzz {

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace lumigrab_fuzz
