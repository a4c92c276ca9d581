// Shared by the news client tests: file helpers and recorders of what the
// client does.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "news/msnntp.h"
#include "tests/support/script_server.h"
#include "tests/support/test_util.h"

namespace lumigrab::testing {

inline void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// Names of the entries of folder, sorted.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Records every command line the client sends.
inline std::shared_ptr<std::vector<std::string>> RecordSentLines(TmsNNTP& client)
{
    auto lines = std::make_shared<std::vector<std::string>>();
    client.OnLineSent = [lines](TObject*, const std::string& line) { lines->push_back(line); };
    return lines;
}

inline std::vector<int32_t> HeaderNumbers(const TmsNNTP& client)
{
    std::vector<int32_t> numbers;
    for (int i = 0; i < client.HeaderList.Count(); ++i)
        numbers.push_back(client.HeaderList.Entries(i).Number);
    return numbers;
}

} // namespace lumigrab::testing
