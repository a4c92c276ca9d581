#include "base/receivebuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace lumigrab {
namespace {

// Reply lines and whole blocks are tested through the socket; here the
// accounting of a block's unfinished end, which the socket's limit uses.
TEST(ReceiveDataLines, CountOnlyWhatIsCertainlyData)
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

    // Only a dot with one line end terminates; more CRs make it data, so
    // that they count towards the block's limit while they arrive.
    block.clear();
    buffer.Clear();
    buffer.Append(".\r\r");
    EXPECT_FALSE(buffer.TakeDataLines(block));
    EXPECT_EQ(buffer.PendingDataBytes(), 2u);
    buffer.Append("\n.\n");
    EXPECT_TRUE(buffer.TakeDataLines(block));
    EXPECT_EQ(block, "\r\r\n");
}

} // namespace
} // namespace lumigrab
