// Taking a data block out of the receive buffer as it arrives in 16 KB
// receives, for lines of a usual length and for lines that span many
// receives: the speed must not fall with the line length, since every byte
// is searched for a line end once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "base/receivebuffer.h"

namespace lumigrab {
namespace {

constexpr size_t kReceive = 16384;
constexpr size_t kBlockBytes = 16 * 1024 * 1024;

std::string Block(size_t lineLength)
{
    std::string line(lineLength, 'M');
    line += "\r\n";
    std::string text;
    while (text.size() < kBlockBytes)
        text += line;
    return text + ".\r\n";
}

void BM_TakeDataLines(benchmark::State& state)
{
    const std::string block = Block(size_t(state.range(0)));
    std::string taken;
    for (auto _ : state) {
        TReceiveBuffer buffer;
        taken.clear();
        bool ended = false;
        for (size_t offset = 0; !ended && offset < block.size(); offset += kReceive) {
            buffer.Append(std::string_view(block).substr(offset, kReceive));
            ended = buffer.TakeDataLines(taken);
        }
        benchmark::DoNotOptimize(taken.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block.size()));
}
// 76: uuencoded lines; 1 MB: one line that takes 64 receives.
BENCHMARK(BM_TakeDataLines)->Arg(76)->Arg(64 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond);

// A reply line that trickles in one byte at a time up to the 64 KB limit.
void BM_TakeLineByteByByte(benchmark::State& state)
{
    const size_t limit = 64 * 1024;
    std::string line;
    for (auto _ : state) {
        TReceiveBuffer buffer;
        size_t bytes = 0;
        while (buffer.TakeLine(line, limit) == TReceiveBuffer::TTake::Incomplete) {
            buffer.Append("x");
            ++bytes;
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(limit));
}
BENCHMARK(BM_TakeLineByteByByte)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumigrab
