// Decoding speed of whole picture articles, as the news client loads them
// (from memory), and as the decode tool handles them (article file in,
// picture file out) next to the floor of that: reading the article file and
// writing the picture file without decoding.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "bench/bench_files.h"
#include "bench/yenc_text.h"
#include "message/msmsg.h"
#include "mime/mscrc32.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"
#include "mime/msyenc.h"

using namespace lumigrab;

namespace {

constexpr size_t kPictureBytes = 5 * 1024 * 1024;

std::string Headers(const std::string& extra)
{
    return "From: Poster <poster@example.org>\r\nNewsgroups: alt.binaries.pictures\r\n"
           "Subject: big picture (1/1)\r\nMessage-ID: <bench@example.org>\r\n"
        + extra + "\r\n";
}

std::string Base64Article(const std::string& picture)
{
    std::string text = Headers("MIME-Version: 1.0\r\nContent-Type: image/jpeg; name=\"big.jpg\"\r\n"
                               "Content-Transfer-Encoding: base64\r\n");
    std::string line;
    for (size_t offset = 0; offset < picture.size(); offset += 57) {
        EncodeBase64(std::string_view(picture).substr(offset, 57), line);
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string UUArticle(const std::string& picture)
{
    std::string text = Headers("") + "A picture for you.\r\n\r\nbegin 644 big.jpg\r\n";
    std::string line;
    for (size_t offset = 0; offset < picture.size(); offset += 45) {
        EncodeUULine(std::string_view(picture).substr(offset, 45), line);
        text += line;
        text += "\r\n";
    }
    return text + "`\r\nend\r\n";
}

std::string YEncArticle(const std::string& picture)
{
    const std::string size = std::to_string(picture.size());
    return Headers("") + "A picture for you.\r\n\r\n=ybegin line=128 size=" + size + " name=big.jpg\r\n"
        + bench::EncodeYEncText(picture) + "=yend size=" + size
        + " crc32=" + Format("%08x", Crc32(0, picture)) + "\r\n";
}

const std::string& Picture()
{
    static const std::string picture = RandomBytes(kPictureBytes, 42);
    return picture;
}

void DecodeArticle(benchmark::State& state, const std::string& text)
{
    TMemoryStream stream;
    stream.Assign(text);
    for (auto _ : state) {
        TmsArticle article;
        article.LoadFromStream(stream);
        if (article.Attachments().Count() != 1
            || article.Attachments().Items(0).Stream.Size() != kPictureBytes)
            state.SkipWithError("picture not decoded");
        benchmark::DoNotOptimize(article.Attachments().Items(0).Stream.Memory());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.counters["article_MB"] = double(text.size()) / 1e6;
}

void BM_LoadBase64Article(benchmark::State& state)
{
    static const std::string text = Base64Article(Picture());
    DecodeArticle(state, text);
}

void BM_LoadUUArticle(benchmark::State& state)
{
    static const std::string text = UUArticle(Picture());
    DecodeArticle(state, text);
}

void BM_LoadYEncArticle(benchmark::State& state)
{
    static const std::string text = YEncArticle(Picture());
    DecodeArticle(state, text);
}

// The three articles as files in a folder of their own, removed at exit.
struct ArticleFiles {
    ScratchFolder folder { "lumigrab-bench" };

    ArticleFiles()
    {
        folder.Write("base64.eml", Base64Article(Picture()));
        folder.Write("uu.eml", UUArticle(Picture()));
        folder.Write("yenc.eml", YEncArticle(Picture()));
        std::filesystem::create_directory(Out());
    }

    std::string Article(const std::string& kind) const { return folder.Path(kind + ".eml"); }
    std::string Out() const { return folder.Path("out"); }
};

const ArticleFiles& Files()
{
    static const ArticleFiles files;
    return files;
}

// Decodes the article file and writes its picture into the out folder;
// returns the picture's path.
std::string DecodeFileOnce(benchmark::State& state, const std::string& article)
{
    TmsArticle decoded;
    TFileStream source(article, TFileStream::Mode::OpenRead);
    decoded.LoadFromStream(source);
    if (decoded.Attachments().Count() != 1) {
        state.SkipWithError("picture not decoded");
        return {};
    }
    return decoded.SaveAttachment(0, Files().Out());
}

// What the decode tool does: article file in, decoded picture file out.
// Each picture is removed again, so that every one is written new under
// its own name, as into a fresh folder, and not numbered after the last.
void BM_DecodeFile(benchmark::State& state, const std::string& kind)
{
    const std::string article = Files().Article(kind);
    for (auto _ : state)
        std::filesystem::remove(DecodeFileOnce(state, article));
    const std::string path = DecodeFileOnce(state, article);
    TMemoryStream written;
    written.LoadFromFile(path);
    std::filesystem::remove(path);
    if (written.View() != Picture())
        state.SkipWithError("wrong picture");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(article)));
}

// The floor under that: the same article file read into memory and the
// picture file written, nothing decoded.
void BM_ReadArticleWritePicture(benchmark::State& state, const std::string& kind)
{
    bench::ReadFilesWritePicture(state, { Files().Article(kind) }, Picture(), Files().Out() + "/floor.jpg");
}

// Thousands of tiny blocks without "end" lines: each look-ahead for the
// block's end must not search the rest of the article again.
void BM_LoadManyUUBlocks(benchmark::State& state)
{
    std::string text = Headers("");
    for (int i = 0; i < 32000; ++i)
        text += "begin 644 a" + std::to_string(i) + ".jpg\r\n#0V%T\r\n`\r\n";
    TMemoryStream stream;
    stream.Assign(text);
    for (auto _ : state) {
        TmsArticle article;
        article.LoadFromStream(stream);
        if (article.Attachments().Count() != 32000)
            state.SkipWithError("blocks not decoded");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

BENCHMARK(BM_LoadBase64Article)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadUUArticle)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadYEncArticle)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeFile, base64, std::string("base64"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadArticleWritePicture, base64, std::string("base64"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeFile, uu, std::string("uu"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadArticleWritePicture, uu, std::string("uu"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeFile, yenc, std::string("yenc"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadArticleWritePicture, yenc, std::string("yenc"))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadManyUUBlocks)->Unit(benchmark::kMillisecond);

} // namespace
