#include "base/receivebuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumigrab {
namespace {

using Strings = std::vector<std::string>;
using TTake = TReceiveBuffer::TTake;

struct LineCase {
    const char* name;
    Strings chunks;
    size_t maxLine;
    Strings lines;
    TTake last;
};

void PrintTo(const LineCase& c, std::ostream* os)
{
    *os << c.name;
}

class ReceiveLines : public ::testing::TestWithParam<LineCase> { };

// Lines are taken after every chunk, as the socket takes them.
TEST_P(ReceiveLines, TakesWholeLinesUpToTheLimit)
{
    const LineCase& c = GetParam();
    TReceiveBuffer buffer;
    Strings lines;
    TTake last = TTake::Incomplete;
    for (const std::string& chunk : c.chunks) {
        buffer.Append(chunk);
        std::string line;
        while ((last = buffer.TakeLine(line, c.maxLine)) == TTake::Taken)
            lines.push_back(line);
        if (last == TTake::TooLong)
            break;
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(last, c.last);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReceiveLines,
    ::testing::Values(
        LineCase { "Split", { "20", "0 o", "k\r", "\n" }, 512, { "200 ok" }, TTake::Incomplete },
        LineCase { "SeveralInOneChunk", { "1\r\n2\n3\r\r\n4" }, 512, { "1", "2", "3" }, TTake::Incomplete },
        LineCase { "AtTheLimit", { "12345678\r\n" }, 10, { "12345678" }, TTake::Incomplete },
        LineCase { "OverTheLimit", { "ok\r\n123456789\r\n" }, 10, { "ok" }, TTake::TooLong },
        // Noticed before the line end arrives, however it trickles in.
        LineCase { "EndlessLine", { "xxxx", "xxxx", "xx", "never" }, 10, {}, TTake::TooLong }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiveDataLines, UndoesStuffingAndLeavesTheNextReply)
{
    TReceiveBuffer buffer;
    std::string block;
    buffer.Append("a\r\n..b\r\n.");
    EXPECT_FALSE(buffer.TakeDataLines(block));
    // A lone dot may still end the block: it is no data yet.
    EXPECT_EQ(buffer.PendingDataBytes(), 0u);
    buffer.Append("\r");
    EXPECT_FALSE(buffer.TakeDataLines(block));
    EXPECT_EQ(buffer.PendingDataBytes(), 0u);
    buffer.Append("\n205 bye\r\n");
    EXPECT_TRUE(buffer.TakeDataLines(block));
    EXPECT_EQ(block, "a\r\n.b\r\n");
    EXPECT_EQ(buffer.Pending(), "205 bye\r\n");

    block.clear();
    buffer.Clear();
    buffer.Append(std::string("..x\0y", 5));
    EXPECT_FALSE(buffer.TakeDataLines(block));
    EXPECT_EQ(buffer.PendingDataBytes(), 4u);
    buffer.Append("\r\n.\r\n");
    EXPECT_TRUE(buffer.TakeDataLines(block));
    EXPECT_EQ(block, ".x y\r\n");
}

} // namespace
} // namespace lumigrab
