// NZB files, which name the articles of each file a post is made of by
// message-id, so that it can be fetched without walking a group: read with
// QXmlStreamReader into plain values. An NZB comes from strangers: nothing
// it points at is ever fetched (no external entity or DTD), a document
// that declares entities of its own is refused (an NZB needs none, and a
// nest of them is how a few kilobytes expand to gigabytes), and every value
// kept has a bound. What cannot be read ends with ENzbError naming the
// line: "not an NZB file: ... at line 12".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/sysutils.h"

namespace lumigrab {

class ENzbError : public Exception {
public:
    using Exception::Exception;
};

// Most bytes of an NZB read; a larger file is refused unread.
constexpr int64_t MaxNzbBytes = int64_t(256) << 20;
// Most segments of one file and of the whole NZB.
constexpr size_t MaxNzbSegmentsPerFile = 100000;
constexpr size_t MaxNzbSegments = 2000000;

struct TNzbSegment {
    // From 1; segments are joined in number order.
    int number = 0;
    int64_t bytes = 0;
    // With its angle brackets, "<part1of2.abc@example>".
    std::string messageId;

    bool operator==(const TNzbSegment&) const = default;
};

struct TNzbFile {
    std::string subject;
    std::string poster;
    std::vector<std::string> groups;
    // In number order, each number once (the first listed of a number).
    std::vector<TNzbSegment> segments;

    bool operator==(const TNzbFile&) const = default;
};

// The files of an NZB document in the order listed. Raises ENzbError:
// malformed XML, no <nzb> root, a segment without a usable message-id or
// number, a value past its bound, declared entities, too many segments.
std::vector<TNzbFile> ReadNzb(std::string_view document);
// Reads the file at path (at most MaxNzbBytes); "Cannot read PATH: ..."
// as EInOutError when it cannot be read.
std::vector<TNzbFile> ReadNzbFile(const std::string& path);

} // namespace lumigrab
