// The inflating line reader: compressed bytes fed in chunks to the
// inflater, whose output (at most one step's limit at a time) goes into
// the receive buffer that reply lines and data blocks are taken from, with
// small limits, as the socket of a compressed connection reads.
//
// The input is read twice: as compressed data of its own (mostly corrupt:
// the reader stops, nothing is handed out past a limit), and deflated by
// the connection's deflater, which must read exactly as the plain bytes
// read, however the compressed bytes are cut into chunks. The buffer never
// holds more than a limit and one step allow.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/receivebuffer.h"
#include "fuzz_check.h"
#include "transport/ktcompress.h"

using lumigrab::TktDeflater;
using lumigrab::TktInflater;
using lumigrab::TReceiveBuffer;

using lumigrab_fuzz::Check;

namespace {

struct Limits {
    size_t maxLine;
    size_t maxBlock;
    size_t step;
};

struct Reader {
    Limits limits;
    TReceiveBuffer buffer;
    std::string events;
    std::string block;
    bool inBlock = false;
    bool stopped = false;

    // Takes what the buffer holds; stops once a limit is passed.
    void Drain()
    {
        std::string line;
        while (!stopped) {
            if (inBlock) {
                const bool ended = buffer.TakeDataLines(block);
                const size_t held = block.size() + (ended ? 0 : buffer.PendingDataBytes());
                if (held > limits.maxBlock) {
                    stopped = true;
                } else if (ended) {
                    events += block + "\x01block\x01";
                    block.clear();
                    inBlock = false;
                    continue;
                }
                return;
            }
            const TReceiveBuffer::TTake taken = buffer.TakeLine(line, limits.maxLine);
            if (taken == TReceiveBuffer::TTake::TooLong)
                stopped = true;
            if (taken != TReceiveBuffer::TTake::Taken)
                return;
            events += line + "\x01line\x01";
            inBlock = !line.empty() && line[0] == '2';
        }
    }

    // Inflates step by step what the inflater holds, as the socket does.
    void Inflate(TktInflater& inflater)
    {
        while (!stopped && inflater.HasWork()) {
            const size_t before = buffer.Size();
            if (!inflater.Inflate(buffer, limits.step)) {
                stopped = true;
                return;
            }
            Check(buffer.Size() - before <= limits.step);
            Drain();
            Check(stopped || buffer.Size() <= std::max(limits.maxLine, limits.maxBlock + 2));
        }
    }
};

std::string ReadCompressed(std::string_view compressed, TktInflater::TFormat format, const Limits& limits,
    std::string_view cuts)
{
    TktInflater inflater(format);
    Reader reader { limits };
    size_t position = 0;
    for (size_t i = 0; position < compressed.size() && !reader.stopped; ++i) {
        const size_t size = cuts.empty() ? compressed.size() : 1 + static_cast<unsigned char>(cuts[i % cuts.size()]) % 61;
        const size_t chunk = std::min(size, compressed.size() - position);
        inflater.Feed(compressed.substr(position, chunk));
        position += chunk;
        reader.Inflate(inflater);
    }
    return reader.events + (reader.stopped ? "\x01stopped" : "");
}

std::string ReadPlain(std::string_view input, const Limits& limits)
{
    Reader reader { limits };
    reader.buffer.Append(input);
    reader.Drain();
    return reader.events + (reader.stopped ? "\x01stopped" : "");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const Limits limits { 1 + size_t(data[0] % 64), 1 + size_t(data[1]) * 8, 1 + size_t(data[2] % 32) };
    const std::string_view input(reinterpret_cast<const char*>(data) + 3, size - 3);
    ReadCompressed(input, TktInflater::TFormat::Wrapped, limits, input);
    ReadCompressed(input, TktInflater::TFormat::Raw, limits, {});

    // A connection's deflater sends each piece flushed; pieces as the input cuts them.
    TktDeflater deflater;
    std::string compressed;
    for (size_t start = 0; start < input.size(); start += 97)
        compressed += deflater.Deflate(input.substr(start, 97));
    const std::string plain = ReadPlain(input, limits);
    // The plain reading stops only at a limit; so must the inflating one.
    Check(ReadCompressed(compressed, TktInflater::TFormat::Raw, limits, input) == plain);
    Check(ReadCompressed(compressed, TktInflater::TFormat::Raw, limits, {}) == plain);
    return 0;
}
