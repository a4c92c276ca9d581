// The only failures codec input may cause; anything else is a finding.
#pragma once

#include <cstdlib>
#include <string>

#include "base/sysutils.h"

namespace lumigrab {

template <typename Body> void RunExpectingOnlyCodecErrors(Body&& body)
{
    try {
        body();
    } catch (const EInOutError& error) {
        if (error.Message() != "Invalid Character")
            std::abort();
    } catch (const Exception& error) {
        if (error.Message() != "Paragraph is too large")
            std::abort();
    }
}

// Aborts when a fuzzed property does not hold.
inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}

// Runs decode(dest) on a dest holding earlier text and returns the result.
// An invalid character must leave that text untouched; the error goes on
// to RunExpectingOnlyCodecErrors.
template <typename Decode> std::string DecodeKeepingDestOnError(Decode&& decode)
{
    const std::string earlier = "before";
    std::string dest = earlier;
    try {
        decode(dest);
    } catch (const EInOutError&) {
        Require(dest == earlier);
        throw;
    }
    return dest;
}

} // namespace lumigrab
