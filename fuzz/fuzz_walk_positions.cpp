// The kept walk positions as they are read back: any bytes may be in the
// file after a crash or a stranger's edit. Reading never fails on a
// regular file; what is kept then reads back as kept; the file written
// stays within its bounds of lines and line length.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "news/walkpositions.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

namespace {

// One folder for the whole run, made at the first input and removed at
// the end.
struct TScratch {
    std::string folder;
    TScratch()
    {
        char pattern[] = "/tmp/lumigrab-fuzz-walked-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made)
            std::abort();
        folder = std::string(made) + "/";
    }
    ~TScratch()
    {
        ::unlink((folder + TWalkPositions::FileName).c_str());
        ::rmdir(folder.c_str());
    }
};

const std::string& Folder()
{
    static const TScratch scratch;
    return scratch.folder;
}

std::string ReadAll(const std::string& path)
{
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, got);
        std::fclose(file);
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = Folder() + TWalkPositions::FileName;
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    TWalkPositions positions(Folder());
    (void)positions.Find("news.example:119", "a.b.pics");
    positions.Keep("news.example:119", "a.b.pics", size);

    TWalkPositions again(Folder());
    Check(again.Find("NEWS.example:119", "a.b.PICS") == uint64_t(size));
    const std::string written = ReadAll(path);
    size_t lines = 0;
    for (size_t start = 0, end; (end = written.find('\n', start)) != std::string::npos; start = end + 1) {
        Check(end - start <= TWalkPositions::MaxLineBytes);
        ++lines;
    }
    Check(lines <= TWalkPositions::MaxEntries);
    Check(!written.empty() && written.back() == '\n');
    return 0;
}
