#pragma once
// Reproducible bytes for tests and benchmarks, free of any test framework.

#include <cstddef>
#include <random>
#include <string>

namespace lumigrab {

// Reproducible bytes covering the whole range 0..255; they do not
// compress, as a photo's.
inline std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = char(generator() & 0xFF);
    return bytes;
}

} // namespace lumigrab
