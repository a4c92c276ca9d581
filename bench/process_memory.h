// The process's resident memory as Linux reports it, for the memory
// benchmarks: a field of /proc/self/status, and the peak counted anew.
#pragma once

#include <fstream>
#include <string>

namespace lumigrab::bench {

// A field of /proc/self/status ("VmRSS", "VmHWM"), in MiB.
inline double StatusMiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field + ":"))
            return std::stod(line.substr(field.size() + 1)) / 1024;
    return 0;
}

// From here on VmHWM counts anew.
inline void ResetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace lumigrab::bench
