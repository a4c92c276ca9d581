// NZB files as strangers write them: any bytes either read as an NZB or end
// with ENzbError, never anything else. What is read keeps to the bounds:
// each file's segments in ascending numbers, each a usable message-id in
// its brackets, no more segments than allowed, no value past its bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "news/harvestindex.h"
#include "news/nzbfile.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    std::vector<TNzbFile> files;
    try {
        files = ReadNzb(document);
    } catch (const ENzbError& error) {
        Check(error.Message().starts_with("not an NZB file: "));
        return 0;
    }
    size_t segments = 0;
    for (const TNzbFile& file : files) {
        Check(file.subject.size() <= 4 * 16384 && file.poster.size() <= 4 * 16384);
        int last = 0;
        for (const TNzbSegment& segment : file.segments) {
            Check(segment.number > last && segment.bytes >= 0);
            Check(IsUsableMessageId(segment.messageId) && segment.messageId.front() == '<'
                && segment.messageId.back() == '>');
            last = segment.number;
        }
        Check(file.segments.size() <= MaxNzbSegmentsPerFile);
        segments += file.segments.size();
    }
    Check(segments <= MaxNzbSegments);
    return 0;
}
