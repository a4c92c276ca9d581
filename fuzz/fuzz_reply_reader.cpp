// The receive buffer that reply lines and data blocks are taken from, read
// as the socket reads it (a line; after a 2xx line a data block) with small
// limits. The input is read twice: in chunks whose sizes it gives itself,
// and all at once. No line or block beyond its limit is handed out, the
// buffer never holds more than a limit allows, and how the bytes are cut
// into chunks changes nothing, not even where a limit ends the reading.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/receivebuffer.h"
#include "fuzz_check.h"

using lumigrab::TReceiveBuffer;

using lumigrab_fuzz::Check;

namespace {

struct Limits {
    size_t maxLine;
    size_t maxBlock;
};

// What the reader handed out, each line and block followed by a marker.
struct Transcript {
    std::string events;
    bool limitHit = false;
};

// Drains what the buffer holds; false once a limit ends the reading.
bool Drain(
    TReceiveBuffer& buffer, const Limits& limits, bool& inBlock, std::string& block, Transcript& transcript)
{
    std::string line;
    for (;;) {
        if (inBlock) {
            const bool ended = buffer.TakeDataLines(block);
            Check(block.find('\0') == std::string::npos);
            const size_t held = block.size() + (ended ? 0 : buffer.PendingDataBytes());
            if (held > limits.maxBlock)
                return false;
            if (!ended) {
                Check(buffer.Pending().find('\n') == std::string_view::npos);
                return true;
            }
            transcript.events += block + "\x01block\x01";
            block.clear();
            inBlock = false;
            continue;
        }
        const TReceiveBuffer::TTake taken = buffer.TakeLine(line, limits.maxLine);
        if (taken == TReceiveBuffer::TTake::TooLong)
            return false;
        if (taken == TReceiveBuffer::TTake::Incomplete) {
            Check(buffer.Size() < limits.maxLine);
            Check(buffer.Pending().find('\n') == std::string_view::npos);
            return true;
        }
        Check(line.size() < limits.maxLine);
        Check(line.find('\n') == std::string::npos);
        Check(line.empty() || line.back() != '\r');
        transcript.events += line + "\x01line\x01";
        inBlock = !line.empty() && line[0] == '2';
    }
}

Transcript Read(std::string_view input, const Limits& limits, bool chunked)
{
    TReceiveBuffer buffer;
    Transcript transcript;
    std::string block;
    bool inBlock = false;
    size_t position = 0;
    while (position < input.size()) {
        const size_t size = chunked ? 1 + static_cast<unsigned char>(input[position]) % 37 : input.size();
        const size_t chunk = std::min(size, input.size() - position);
        buffer.Append(input.substr(position, chunk));
        position += chunk;
        if (!Drain(buffer, limits, inBlock, block, transcript)) {
            transcript.limitHit = true;
            break;
        }
        // The terminator's start may wait beyond the block limit.
        Check(buffer.Size() <= std::max(limits.maxLine, limits.maxBlock + 2));
    }
    return transcript;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const Limits limits { 1 + size_t(data[0] % 64), 1 + size_t(data[1]) * 8 };
    const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    const Transcript chunked = Read(input, limits, true);
    const Transcript whole = Read(input, limits, false);
    Check(chunked.events == whole.events);
    Check(chunked.limitHit == whole.limitHit);
    return 0;
}
