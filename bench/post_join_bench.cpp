// Joining a multi-part yEnc post (20 parts, 15 MB) from its article files
// into the picture file, next to the floor of that: reading the same
// article files and writing the picture file, nothing decoded.
#include <benchmark/benchmark.h>

#include <vector>

#include "base/classes.h"
#include "bench/bench_files.h"
#include "bench/yenc_text.h"
#include "mime/mscrc32.h"
#include "news/postjoin.h"

using namespace lumigrab;

namespace {

constexpr size_t kPictureBytes = 15 * 1000 * 1000;
constexpr int kParts = 20;

const std::string& Picture()
{
    static const std::string picture = RandomBytes(kPictureBytes, 7);
    return picture;
}

std::string PartArticle(int part)
{
    const std::string& picture = Picture();
    const size_t size = (picture.size() + kParts - 1) / kParts;
    const size_t begin = size_t(part - 1) * size;
    const std::string_view piece = std::string_view(picture).substr(begin, size);
    return "From: Poster <poster@example.org>\r\nNewsgroups: alt.binaries.pictures\r\n"
           "Subject: \"big.jpg\" yEnc ("
        + std::to_string(part) + "/" + std::to_string(kParts) + ")\r\n\r\n=ybegin part="
        + std::to_string(part) + " total=" + std::to_string(kParts) + " line=128 size="
        + std::to_string(picture.size()) + " name=big.jpg\r\n=ypart begin=" + std::to_string(begin + 1)
        + " end=" + std::to_string(begin + piece.size()) + "\r\n" + bench::EncodeYEncText(piece)
        + "=yend size=" + std::to_string(piece.size()) + " part=" + std::to_string(part) + " pcrc32="
        + Format("%08x", Crc32(0, piece)) + " crc32=" + Format("%08x", Crc32(0, picture)) + "\r\n";
}

// The part articles as files in a folder of their own, removed at exit.
struct PartFiles {
    ScratchFolder folder { "lumigrab-join" };
    std::vector<std::string> paths;

    PartFiles()
    {
        for (int part = 1; part <= kParts; ++part)
            paths.push_back(folder.Write("part" + std::to_string(part) + ".eml", PartArticle(part)));
    }
};

const PartFiles& Files()
{
    static const PartFiles files;
    return files;
}

void BM_JoinPost(benchmark::State& state)
{
    const std::string target = Files().folder.Path("joined.jpg");
    for (auto _ : state) {
        TPostJoiner joiner(target, uint64_t(512) << 20);
        int part = 0;
        for (const std::string& path : Files().paths) {
            TMemoryStream text;
            text.LoadFromFile(path);
            joiner.AddPart(++part, text.View());
        }
        joiner.Finish();
        if (!joiner.Damage().empty())
            state.SkipWithError(joiner.Damage().c_str());
        joiner.Release();
    }
    TMemoryStream written;
    written.LoadFromFile(target);
    if (written.View() != Picture())
        state.SkipWithError("wrong picture");
    state.SetBytesProcessed(int64_t(state.iterations()) * bench::FileBytes(Files().paths));
}

// The floor: the article files read, the picture file written.
void BM_ReadPartsWritePicture(benchmark::State& state)
{
    bench::ReadFilesWritePicture(state, Files().paths, Picture(), Files().folder.Path("floor.jpg"));
}

} // namespace

BENCHMARK(BM_JoinPost)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPartsWritePicture)->Unit(benchmark::kMillisecond);
