// What the file benchmarks share: random picture bytes, a scratch folder
// of article files, and the floor under decoding them, reading the article
// files and writing the picture file.
#pragma once

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/classes.h"
#include "tests/support/random_bytes.h"
#include "tests/support/scratch_folder.h"

namespace lumigrab::bench {

inline int64_t FileBytes(const std::vector<std::string>& paths)
{
    int64_t bytes = 0;
    for (const std::string& path : paths)
        bytes += int64_t(std::filesystem::file_size(path));
    return bytes;
}

// The floor under decoding articles into a picture file: the article files
// read into memory, the picture file written, nothing decoded.
inline void ReadFilesWritePicture(benchmark::State& state, const std::vector<std::string>& articles,
    std::string_view picture, const std::string& target)
{
    TMemoryStream bytes;
    bytes.Assign(picture);
    for (auto _ : state) {
        for (const std::string& path : articles) {
            TMemoryStream text;
            text.LoadFromFile(path);
            benchmark::DoNotOptimize(text.Memory());
        }
        bytes.SaveToFile(target);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * FileBytes(articles));
}

} // namespace lumigrab::bench
