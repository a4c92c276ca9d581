// Line reading over a large article and loading a large LIST reply.
#include <benchmark/benchmark.h>

#include <string>

#include "base/linestream.h"
#include "news/msnwscls.h"

namespace lumigrab {
namespace {

// About 7 MB of 76-character lines ended by CR LF, like uuencoded data.
std::string ArticleText()
{
    std::string text = "From: someone@example.com\r\nSubject: picture (1/1)\r\n\r\n";
    const std::string line = "M" + std::string(75, 'A');
    while (text.size() < 7 * 1024 * 1024)
        text += line + "\r\n";
    return text;
}

std::string ListText(int groups)
{
    std::string text;
    for (int i = 0; i < groups; ++i)
        text += "alt.binaries.pictures.group" + std::to_string(i) + " " + std::to_string(100000 + i) + " "
            + std::to_string(i) + " y\r\n";
    return text;
}

void BM_ReadLine(benchmark::State& state)
{
    TLineStream stream;
    stream.WriteString(ArticleText());
    std::string line;
    int64_t lines = 0;
    for (auto _ : state) {
        stream.Reset();
        while (stream.ReadLine(line))
            ++lines;
        benchmark::DoNotOptimize(line.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.Size());
    state.counters["lines/s"] = benchmark::Counter(double(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadLine)->Unit(benchmark::kMillisecond);

void BM_LoadNewsGroupList(benchmark::State& state)
{
    TMemoryStream stream;
    stream.WriteString(ListText(100000));
    TmsNewsGroupList list;
    for (auto _ : state) {
        list.LoadFromStream(stream);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.Size());
    state.counters["lines/s"]
        = benchmark::Counter(double(state.iterations()) * list.Count(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadNewsGroupList)->Unit(benchmark::kMillisecond);

void BM_SaveNewsGroupList(benchmark::State& state)
{
    TMemoryStream source;
    source.WriteString(ListText(100000));
    TmsNewsGroupList list;
    list.LoadFromStream(source);
    TMemoryStream target;
    for (auto _ : state) {
        list.SaveToStream(target);
        benchmark::DoNotOptimize(target.Memory());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * target.Size());
}
BENCHMARK(BM_SaveNewsGroupList)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumigrab
