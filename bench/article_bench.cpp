// Decoding speed of whole picture articles, as the news client loads them.
#include <benchmark/benchmark.h>

#include <random>

#include "message/msmsg.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"

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
    static const std::string text = Base64Article(RandomPicture());
    DecodeArticle(state, text);
}

void BM_LoadUUArticle(benchmark::State& state)
{
    static const std::string text = UUArticle(RandomPicture());
    DecodeArticle(state, text);
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
BENCHMARK(BM_LoadManyUUBlocks)->Unit(benchmark::kMillisecond);

} // namespace
