// Decoding speed of whole picture articles, as the news client loads them
// (from memory), and as the decode tool handles them (article file in,
// picture file out) next to the floor of that: reading the article file and
// writing the picture file without decoding.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "bench/yenc_text.h"
#include "message/msmsg.h"
#include "mime/mscrc32.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"
#include "mime/msyenc.h"

using namespace lumigrab;

namespace {

constexpr size_t kPictureBytes = 5 * 1024 * 1024;

std::string RandomPicture()
{
    std::mt19937 generator(42);
    std::string bytes(kPictureBytes, '\0');
    for (char& c : bytes)
        c = char(generator() & 0xFF);
    return bytes;
}

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
    static const std::string picture = RandomPicture();
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
class ArticleFiles {
public:
    ArticleFiles()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumigrab-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        Write("base64.eml", Base64Article(Picture()));
        Write("uu.eml", UUArticle(Picture()));
        Write("yenc.eml", YEncArticle(Picture()));
        std::filesystem::create_directory(Out());
    }
    ~ArticleFiles() { std::filesystem::remove_all(folder_); }

    std::string Article(const std::string& kind) const { return (folder_ / (kind + ".eml")).string(); }
    std::string Out() const { return (folder_ / "out").string(); }

private:
    void Write(const std::string& name, const std::string& text)
    {
        TMemoryStream stream;
        stream.Assign(text);
        stream.SaveToFile((folder_ / name).string());
    }
    std::filesystem::path folder_;
};

const ArticleFiles& Files()
{
    static const ArticleFiles files;
    return files;
}

// What the decode tool does: article file in, decoded picture file out.
void BM_DecodeFile(benchmark::State& state, const std::string& kind)
{
    const std::string article = Files().Article(kind);
    for (auto _ : state) {
        TmsArticle decoded;
        TFileStream source(article, TFileStream::Mode::OpenRead);
        decoded.LoadFromStream(source);
        if (decoded.Attachments().Count() != 1)
            state.SkipWithError("picture not decoded");
        decoded.SaveAttachment(0, Files().Out());
    }
    TMemoryStream written;
    written.LoadFromFile(Files().Out() + "/big.jpg");
    if (written.View() != Picture())
        state.SkipWithError("wrong picture");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(article)));
}

// The floor under that: the same article file read into memory and the
// picture file written, nothing decoded.
void BM_ReadArticleWritePicture(benchmark::State& state, const std::string& kind)
{
    const std::string article = Files().Article(kind);
    TMemoryStream picture;
    picture.Assign(Picture());
    const std::string target = Files().Out() + "/floor.jpg";
    for (auto _ : state) {
        TMemoryStream text;
        text.LoadFromFile(article);
        benchmark::DoNotOptimize(text.Memory());
        picture.SaveToFile(target);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(article)));
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
