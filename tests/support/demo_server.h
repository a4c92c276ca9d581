// run.sh's demo news server (scripts/demo-server.sh) for the tests that
// need real picture posts of every type: started by the constructor,
// stopped by the destructor even when an assertion ends the test early.
// Needs root and INN2.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/classes.h"
#include "tests/support/test_util.h"

namespace lumigrab::testing {

// Runs command and returns its standard output; status gets the exit code.
inline std::string Output(const std::string& command, int& status)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char buffer[4096];
    while (size_t count = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, count);
    const int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

// The lines of text that are not empty.
inline std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    ForEachLine(text, [&](std::string_view line) {
        if (!line.empty())
            lines.emplace_back(line);
    });
    return lines;
}

class DemoServer {
public:
    DemoServer()
    {
        int status = 0;
        const std::vector<std::string> printed = LinesOf(Output(Script() + " start", status));
        if (status == 0 && !printed.empty())
            folder_ = printed.back();
    }
    ~DemoServer() { Stop(); }
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    bool Running() const { return !folder_.empty(); }
    const std::filesystem::path& Folder() const { return folder_; }
    std::string Port() const { return LinesOf(ReadFileBytes(folder_ / "port")).at(0); }
    std::vector<std::string> Groups() const { return LinesOf(ReadFileBytes(folder_ / "groups")); }

    int Stop()
    {
        int status = 0;
        if (Running())
            Output(Script() + " stop " + folder_.string() + " 2>/dev/null", status);
        folder_.clear();
        return status;
    }

private:
    static std::string Script()
    {
        return "bash " + (std::filesystem::path(LUMIGRAB_SOURCE_DIR) / "scripts" / "demo-server.sh").string();
    }
    std::filesystem::path folder_;
};

} // namespace lumigrab::testing
