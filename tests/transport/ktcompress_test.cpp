// The inflater: each stream format, fed whole or byte by byte, never more
// than the limit per step, the bytes after a stream, corrupt data.
#include <gtest/gtest.h>

#include <string>

#include "base/receivebuffer.h"
#include "tests/support/deflate_channel.h"
#include "transport/ktcompress.h"

namespace lumigrab {
namespace {

using Format = TktInflater::TFormat;

const std::string Text = [] {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += std::to_string(i) + "\tSubject of a picture (1/1)\tposter@example.com\t<id" + std::to_string(i)
            + "@example>\r\n";
    return text;
}();

struct InflateCase {
    const char* name;
    Format format;
    std::string fed;
    // Bytes fed at a time; 0: all at once.
    size_t piece;
    size_t limit;
    std::string inflated;
    bool valid;
};

// Feeds as the socket does: more only once the inflater has no work left.
std::string InflateAll(TktInflater& inflater, const InflateCase& c, bool& valid)
{
    TReceiveBuffer out;
    size_t fed = 0;
    valid = true;
    while (valid) {
        if (!inflater.HasWork()) {
            if (fed == c.fed.size())
                break;
            const size_t piece = c.piece ? c.piece : c.fed.size();
            inflater.Feed(std::string_view(c.fed).substr(fed, piece));
            fed += std::min(piece, c.fed.size() - fed);
        }
        const size_t before = out.Size();
        valid = inflater.Inflate(out, c.limit);
        EXPECT_LE(out.Size() - before, c.limit);
    }
    return std::string(out.Pending());
}

TEST(Inflater, EachStream)
{
    const std::string after = ".\r\n205 bye\r\n";
    const std::string zlib = testing::Compressed(Text);
    std::string corrupt = zlib;
    corrupt[zlib.size() / 2] ^= 0x55;
    const InflateCase cases[] = {
        { "raw deflate", Format::Raw, testing::Compressed(Text, -15), 0, 16384, Text, true },
        { "zlib", Format::Wrapped, zlib, 0, 16384, Text, true },
        { "gzip", Format::Wrapped, testing::Compressed(Text, 31), 0, 16384, Text, true },
        { "raw deflate where a wrapped stream may come", Format::Wrapped, testing::Compressed(Text, -15), 0,
            16384, Text, true },
        { "byte by byte", Format::Wrapped, zlib, 1, 16384, Text, true },
        { "a small limit", Format::Raw, testing::Compressed(Text, -15), 0, 7, Text, true },
        { "the bytes after the stream pass", Format::Wrapped, zlib + after, 5, 4, Text + after, true },
        { "corrupt", Format::Wrapped, corrupt, 0, 16384, "", false },
    };
    for (const InflateCase& c : cases) {
        SCOPED_TRACE(c.name);
        TktInflater inflater(c.format);
        bool valid = true;
        const std::string inflated = InflateAll(inflater, c, valid);
        EXPECT_EQ(valid, c.valid);
        EXPECT_EQ(inflater.Failure().empty(), c.valid);
        if (c.valid) {
            EXPECT_EQ(inflated, c.inflated);
            EXPECT_TRUE(inflater.Ended());
        }
    }
}

} // namespace
} // namespace lumigrab
