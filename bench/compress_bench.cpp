// Whether compressing a connection pays: what deflate saves on the line and
// what inflating costs the client, for the two kinds of text a news
// connection carries. Article bodies are yEnc of picture bytes (random
// bytes stand in for a JPEG's entropy-coded data); overview lines are those
// of a binary group (long subjects, posters, random message-ids). The
// server's deflater writes in 16 kB pieces, each flushed as a server
// flushes its replies; the client inflates in receive-block steps into the
// receive buffer and takes the data lines, as the socket does.
//
// Counters: wire_ratio is compressed bytes per plain byte (1.0 saves
// nothing); bytes_per_second counts plain bytes handed to the reader.
// BM_ReadPlain is the same reading without compression.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "base/receivebuffer.h"
#include "bench/yenc_text.h"
#include "tests/support/random_bytes.h"
#include "transport/ktcompress.h"

namespace lumigrab {
namespace {

constexpr size_t kPlainBytes = 4 * 1024 * 1024;
constexpr size_t kServerPiece = 16 * 1024;
constexpr size_t kReceiveBlock = 16 * 1024;

std::string ArticleText()
{
    std::string text;
    while (text.size() < kPlainBytes)
        text += "=ybegin part=1 line=128 size=768000 name=picture.jpg\r\n"
            + bench::EncodeYEncText(RandomBytes(768000, unsigned(text.size()))) + "=yend\r\n";
    return text;
}

std::string OverviewText()
{
    std::mt19937 random(11);
    const auto hex = [&](int digits) {
        std::string s;
        for (int i = 0; i < digits; ++i)
            s += "0123456789abcdef"[random() % 16];
        return s;
    };
    std::string text;
    for (uint64_t number = 4294967296; text.size() < kPlainBytes; ++number)
        text += std::to_string(number) + "\t[" + std::to_string(random() % 900 + 100) + "/1024] - \"Holiday "
            + hex(6) + " - Beach set " + std::to_string(random() % 40) + ".part" + std::to_string(random() % 99)
            + ".rar\" yEnc (" + std::to_string(random() % 60 + 1) + "/60)\tposter-" + hex(8)
            + "@example.invalid (Poster)\tSat, 12 Dec 2026 10:" + std::to_string(random() % 50 + 10)
            + ":00 +0000\t<" + hex(24) + "$" + hex(8) + "@news.example.com>\t\t" + std::to_string(random() % 800000)
            + "\t" + std::to_string(random() % 6000) + "\tXref: news.example.com alt.binaries.pictures:"
            + std::to_string(number) + "\r\n";
    return text + ".\r\n";
}

// What the server sends: the text deflated in flushed pieces.
std::string Deflated(const std::string& text)
{
    TktDeflater deflater;
    std::string wire;
    for (size_t start = 0; start < text.size(); start += kServerPiece)
        wire += deflater.Deflate(std::string_view(text).substr(start, kServerPiece));
    return wire;
}

void BM_Inflate(benchmark::State& state, const std::string& (*text)())
{
    const std::string& plain = text();
    const std::string wire = Deflated(plain);
    std::string lines;
    lines.reserve(plain.size());
    for (auto _ : state) {
        TktInflater inflater(TktInflater::TFormat::Raw);
        TReceiveBuffer received;
        lines.clear();
        for (size_t start = 0; start < wire.size(); start += kReceiveBlock) {
            inflater.Feed(std::string_view(wire).substr(start, kReceiveBlock));
            while (inflater.HasWork()) {
                inflater.Inflate(received, kReceiveBlock);
                received.TakeDataLines(lines);
            }
        }
        benchmark::DoNotOptimize(lines.data());
    }
    if (lines.size() + 3 != plain.size())
        state.SkipWithError("inflated text differs");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plain.size()));
    state.counters["wire_ratio"] = double(wire.size()) / double(plain.size());
}

void BM_ReadPlain(benchmark::State& state, const std::string& (*text)())
{
    const std::string& plain = text();
    std::string lines;
    lines.reserve(plain.size());
    for (auto _ : state) {
        TReceiveBuffer received;
        lines.clear();
        for (size_t start = 0; start < plain.size(); start += kReceiveBlock) {
            received.Append(std::string_view(plain).substr(start, kReceiveBlock));
            received.TakeDataLines(lines);
        }
        benchmark::DoNotOptimize(lines.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plain.size()));
}

// The server's side, for scale: what a server spends to compress.
void BM_Deflate(benchmark::State& state, const std::string& (*text)())
{
    const std::string& plain = text();
    for (auto _ : state)
        benchmark::DoNotOptimize(Deflated(plain).size());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plain.size()));
}

const std::string& Articles()
{
    static const std::string text = ArticleText() + ".\r\n";
    return text;
}

const std::string& Overview()
{
    static const std::string text = OverviewText();
    return text;
}

BENCHMARK_CAPTURE(BM_Inflate, articles, &Articles)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadPlain, articles, &Articles)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Deflate, articles, &Articles)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Inflate, overview, &Overview)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadPlain, overview, &Overview)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Deflate, overview, &Overview)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumigrab
