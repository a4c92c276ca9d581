// yEnc: the data decoder and the CRC-32, each implementation this processor
// runs, counted in bytes of input (encoded text for the decoder, decoded
// bytes for the CRC).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "bench/yenc_text.h"
#include "mime/mscrc32.h"
#include "mime/msyenc.h"

namespace lumigrab {
namespace {

constexpr size_t kTextBytes = 1024 * 1024;

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(random() & 0xFF);
    return bytes;
}

const std::string& PictureBytes()
{
    static const std::string bytes = RandomBytes(kTextBytes, 7);
    return bytes;
}

const std::string& EncodedText()
{
    static const std::string text = bench::EncodeYEncText(PictureBytes());
    return text;
}

void BM_DecodeYEnc(benchmark::State& state, YEncDecoder decoder)
{
    const std::string& text = EncodedText();
    std::string dest(text.size(), '\0');
    for (auto _ : state) {
        bool escape = false;
        const size_t count = decoder.decode(text, dest.data(), escape);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    if (dest.substr(0, PictureBytes().size()) != PictureBytes())
        state.SkipWithError("wrong bytes");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_Crc32(benchmark::State& state, Crc32Implementation crc)
{
    const std::string& bytes = PictureBytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc.update(0, bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

// A whole block: framing, decoding, checking and the copy into the stream.
void BM_DecodeYEncBlock(benchmark::State& state)
{
    const std::string begin
        = "=ybegin line=128 size=" + std::to_string(PictureBytes().size()) + " name=x.jpg";
    const std::string text = EncodedText() + "=yend size=" + std::to_string(PictureBytes().size()) + "\r\n";
    for (auto _ : state) {
        TMemoryStream out;
        const YEncBlock block = DecodeYEncBlock(begin, text, out);
        if (!YEncDamage(block).empty())
            state.SkipWithError("damaged");
        benchmark::DoNotOptimize(out.Memory());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// The same handed to a sink that keeps nothing: what decoding, finding the
// data's end and the CRC-32 cost for one part of a multi-part post.
void BM_DecodeYEncBlockToSink(benchmark::State& state)
{
    const std::string begin
        = "=ybegin line=128 size=" + std::to_string(PictureBytes().size()) + " name=x.jpg";
    const std::string text = EncodedText() + "=yend size=" + std::to_string(PictureBytes().size()) + "\r\n";
    for (auto _ : state) {
        const YEncBlock block = DecodeYEncBlock(begin, text,
            [](const YEncBlock&, std::string_view bytes) { benchmark::DoNotOptimize(bytes.data()); });
        if (!YEncDamage(block).empty())
            state.SkipWithError("damaged");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

[[maybe_unused]] const bool kRegistered = [] {
    for (const YEncDecoder& decoder : YEncDecoders())
        benchmark::RegisterBenchmark(
            (std::string("BM_DecodeYEnc/") + decoder.name).c_str(), BM_DecodeYEnc, decoder);
    for (const Crc32Implementation& crc : Crc32Implementations())
        benchmark::RegisterBenchmark((std::string("BM_Crc32/") + crc.name).c_str(), BM_Crc32, crc);
    benchmark::RegisterBenchmark("BM_DecodeYEncBlock", BM_DecodeYEncBlock);
    benchmark::RegisterBenchmark("BM_DecodeYEncBlockToSink", BM_DecodeYEncBlockToSink);
    return true;
}();

} // namespace
} // namespace lumigrab
