// Reading an NZB of 100,000 segments (a thousand files of a hundred parts,
// as a large release's NZB has): the target is well under a second.
#include <benchmark/benchmark.h>

#include <string>

#include "news/nzbfile.h"

namespace {

std::string LargeNzb(int files, int segments)
{
    std::string nzb = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n"
                      "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n";
    for (int file = 0; file < files; ++file) {
        nzb += "<file poster=\"Poster &lt;poster@example.org&gt;\" date=\"1071674882\" subject=\"[" + std::to_string(file)
            + "/1000] - &quot;Holiday.Mountains.Harbour." + std::to_string(file) + ".jpg&quot; yEnc (1/"
            + std::to_string(segments) + ")\">\n<groups><group>alt.binaries.pictures</group></groups>\n<segments>\n";
        for (int segment = segments; segment >= 1; --segment)
            nzb += "<segment bytes=\"768000\" number=\"" + std::to_string(segment) + "\">part" + std::to_string(segment)
                + "of" + std::to_string(segments) + ".f" + std::to_string(file) + "$Xy8a@news.example.org</segment>\n";
        nzb += "</segments>\n</file>\n";
    }
    return nzb + "</nzb>\n";
}

void BM_ReadNzb(benchmark::State& state)
{
    const std::string nzb = LargeNzb(1000, 100);
    size_t segments = 0;
    for (auto _ : state) {
        const std::vector<lumigrab::TNzbFile> files = lumigrab::ReadNzb(nzb);
        segments = 0;
        for (const lumigrab::TNzbFile& file : files)
            segments += file.segments.size();
        if (segments != 100000)
            state.SkipWithError("segments lost");
    }
    state.counters["segments"] = double(segments);
    state.counters["MB"] = double(nzb.size()) / 1e6;
}

} // namespace

BENCHMARK(BM_ReadNzb)->Unit(benchmark::kMillisecond)->Iterations(5);
