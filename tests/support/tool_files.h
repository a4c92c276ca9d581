// The command-line tools run through the shell, with what they print caught
// in files of a scratch folder, and readers of the folders they fill.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_util.h"

namespace lumigrab::testing {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The built tool of that name (lumigrab-decode, lumigrab-harvest).
inline std::filesystem::path ToolPath(const char* name)
{
    return std::filesystem::path(LUMIGRAB_BINARY_DIR) / "tools" / name;
}

// text as one word of a shell command.
inline std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs command; its output files in scratch are gone afterwards.
inline ToolRun RunCommand(const std::string& command, const std::filesystem::path& scratch)
{
    const std::filesystem::path outFile = scratch / ".tool.out";
    const std::filesystem::path errFile = scratch / ".tool.err";
    const int status = std::system(
        (command + " >" + ShellQuote(outFile.string()) + " 2>" + ShellQuote(errFile.string())).c_str());
    ToolRun run { WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileBytes(outFile),
        ReadFileBytes(errFile) };
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return run;
}

// Names of the entries of folder, sorted; not the walk's kept position
// (.lumigrab-walked), which a walk writes now and then as it goes.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename() != ".lumigrab-walked")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry of folder with its bytes.
inline std::map<std::string, std::string> FolderContent(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> content;
    for (const std::string& name : FolderEntries(folder))
        content[name] = ReadFileBytes(folder / name);
    return content;
}

// Every file and link below root (none when root is missing), by its path
// relative to root: a file's bytes, a link as "-> " and its target.
inline std::map<std::string, std::string> FilesBelow(const std::filesystem::path& root)
{
    std::map<std::string, std::string> files;
    if (!std::filesystem::exists(root))
        return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).string();
        if (entry.is_symlink())
            files[name]
                = "-> " + std::filesystem::read_symlink(entry.path()).lexically_relative(root).string();
        else if (entry.is_regular_file())
            files[name] = ReadFileBytes(entry.path());
    }
    return files;
}

} // namespace lumigrab::testing
