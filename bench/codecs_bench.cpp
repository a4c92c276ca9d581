// Throughput of the line codecs and the quoted-printable codec, counted in
// bytes of encoded text.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "mime/msmime.h"
#include "mime/msuucode.h"

namespace lumigrab {
namespace {

constexpr size_t kLineCount = 1024;

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(byte(random));
    return bytes;
}

std::vector<std::string> Blocks(size_t blockSize, unsigned seed)
{
    const std::string bytes = RandomBytes(blockSize * kLineCount, seed);
    std::vector<std::string> blocks;
    for (size_t offset = 0; offset < bytes.size(); offset += blockSize)
        blocks.push_back(bytes.substr(offset, blockSize));
    return blocks;
}

size_t TotalSize(const std::vector<std::string>& texts)
{
    size_t total = 0;
    for (const auto& text : texts)
        total += text.size();
    return total;
}

template <typename Encode>
std::vector<std::string> EncodeAll(const std::vector<std::string>& blocks, Encode encode)
{
    std::vector<std::string> lines;
    for (const auto& block : blocks)
        lines.push_back(encode(block));
    return lines;
}

// Decodes each line with decode(line, dest), counting encoded bytes.
template <typename Decode>
void DecodeLinesBenchmark(benchmark::State& state, const std::vector<std::string>& lines, Decode decode)
{
    std::string dest;
    dest.reserve(64);
    for (auto _ : state) {
        for (const auto& line : lines) {
            decode(line, dest);
            benchmark::DoNotOptimize(dest.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * TotalSize(lines)));
}

// Encodes each block with encode(block, dest), counting encoded bytes.
template <typename Encode>
void EncodeBlocksBenchmark(benchmark::State& state, const std::vector<std::string>& blocks, Encode encode)
{
    std::string dest;
    dest.reserve(80);
    size_t encoded = 0;
    for (auto _ : state) {
        encoded = 0;
        for (const auto& block : blocks) {
            encode(block, dest);
            benchmark::DoNotOptimize(dest.data());
            encoded += dest.size();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * encoded));
}

void BM_DecodeBase64(benchmark::State& state)
{
    const auto lines = EncodeAll(Blocks(57, 1), [](const std::string& b) { return EncodeBase64(b); });
    DecodeLinesBenchmark(
        state, lines, [](std::string_view line, std::string& dest) { DecodeBase64(line, dest); });
}
BENCHMARK(BM_DecodeBase64);

// Message data lines: clean ones should cost what DecodeBase64 costs; a line
// with a trailing blank (arg 1) takes the tolerant path.
void BM_DecodeBase64DataLine(benchmark::State& state)
{
    const bool blank = state.range(0) != 0;
    const auto lines = EncodeAll(
        Blocks(57, 1), [blank](const std::string& b) { return EncodeBase64(b) + (blank ? " " : ""); });
    DecodeLinesBenchmark(
        state, lines, [](std::string_view line, std::string& dest) { DecodeBase64DataLine(line, dest); });
}
BENCHMARK(BM_DecodeBase64DataLine)->Arg(0)->Arg(1);

// Whole texts of clean 76-character lines at once, as attachments decode,
// with each implementation the processor runs (arg: its place in the list).
void BM_DecodeCleanBase64Lines(benchmark::State& state)
{
    const auto decoders = Base64BlockDecoders();
    if (size_t(state.range(0)) >= decoders.size()) {
        state.SkipWithError("not run by this processor");
        return;
    }
    const TBase64BlockDecoder& decoder = decoders[size_t(state.range(0))];
    std::string text;
    for (const std::string& line :
        EncodeAll(Blocks(57, 1), [](const std::string& b) { return EncodeBase64(b); }))
        text += line + "\r\n";
    std::string out(text.size() / 4 * 3 + 1, '\0');
    for (auto _ : state) {
        const TBase64Lines taken = DecodeCleanBase64Lines(text, out.data(), decoder);
        benchmark::DoNotOptimize(taken);
        benchmark::ClobberMemory();
    }
    state.SetLabel(decoder.name);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_DecodeCleanBase64Lines)->Arg(0)->Arg(1);

void BM_EncodeBase64(benchmark::State& state)
{
    EncodeBlocksBenchmark(
        state, Blocks(57, 2), [](std::string_view block, std::string& dest) { EncodeBase64(block, dest); });
}
BENCHMARK(BM_EncodeBase64);

void BM_DecodeUULine(benchmark::State& state)
{
    const auto lines = EncodeAll(Blocks(45, 3), [](const std::string& b) { return EncodeUULine(b); });
    DecodeLinesBenchmark(
        state, lines, [](std::string_view line, std::string& dest) { DecodeUULine(line, dest); });
}
BENCHMARK(BM_DecodeUULine);

void BM_EncodeUULine(benchmark::State& state)
{
    EncodeBlocksBenchmark(
        state, Blocks(45, 4), [](std::string_view block, std::string& dest) { EncodeUULine(block, dest); });
}
BENCHMARK(BM_EncodeUULine);

// 1 MB of mail text: words of mixed length, some accented letters, CR LF
// line ends every few hundred bytes.
std::string SampleText()
{
    std::mt19937 random(5);
    std::uniform_int_distribution<int> wordLength(1, 12);
    std::uniform_int_distribution<int> letter(0, 25);
    std::uniform_int_distribution<int> percent(0, 99);
    std::string text;
    size_t lineLength = 0;
    while (text.size() < 1024 * 1024) {
        for (int n = wordLength(random); n > 0; --n)
            text += percent(random) < 2 ? '\xE9' : char('a' + letter(random));
        lineLength += 12;
        if (percent(random) < 5 && lineLength > 100) {
            text += "\r\n";
            lineLength = 0;
        } else {
            text += ' ';
        }
    }
    return text;
}

size_t EncodedTextSize(const TStringList& lines)
{
    return TotalSize(lines.Lines()) + 2 * size_t(lines.Count());
}

void BM_QuotedPrintableEncode(benchmark::State& state)
{
    TMemoryStream stream;
    stream.Assign(SampleText());
    size_t encoded = 0;
    for (auto _ : state) {
        TStringList lines;
        TQuotedPrintable(stream, lines).Encode();
        encoded = EncodedTextSize(lines);
        benchmark::DoNotOptimize(lines.Count());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * encoded));
}
BENCHMARK(BM_QuotedPrintableEncode)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableDecode(benchmark::State& state)
{
    TMemoryStream source;
    source.Assign(SampleText());
    TStringList lines;
    TQuotedPrintable(source, lines).Encode();
    TMemoryStream target;
    target.Reserve(1100 * 1024);
    for (auto _ : state) {
        target.Clear();
        TQuotedPrintable(target, lines).Decode();
        benchmark::DoNotOptimize(target.Memory());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * EncodedTextSize(lines)));
}
BENCHMARK(BM_QuotedPrintableDecode)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumigrab
