#pragma once
// A throwaway folder for tests and benchmarks, free of any test framework.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumigrab {

// A fresh folder of its own under the temporary folder, removed with
// everything in it at destruction.
class ScratchFolder {
public:
    explicit ScratchFolder(std::string_view prefix = "lumigrab-test")
    {
        std::string pattern
            = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string Path(const std::string& name) const { return (path_ / name).string(); }

    // Writes bytes into the file name; returns its path.
    std::string Write(const std::string& name, std::string_view bytes) const
    {
        std::ofstream(path_ / name, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        return Path(name);
    }

private:
    std::filesystem::path path_;
};

} // namespace lumigrab
