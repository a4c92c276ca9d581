#include "base/receivebuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace lumigrab {
namespace {

// Reply lines and whole blocks are tested through the socket; here the
// accounting of a block's unfinished end, which the socket's limit uses.
TEST(ReceiveDataLines, CountOnlyWhatIsCertainlyData)
{
    const struct {
        const char* name;
        // Chunks before the last, each with the data bytes then pending.
        std::vector<std::pair<std::string, size_t>> unfinished;
        std::string last, block, rest;
    } cases[] = {
        // A lone dot may still end the block: it is no data yet.
        { "lone dot", { { "a\r\n..b\r\n.", 0 }, { "\r", 0 } }, "\n205 bye\r\n", "a\r\n.b\r\n",
            "205 bye\r\n" },
        { "NUL", { { std::string("..x\0y", 5), 4 } }, "\r\n.\r\n", ".x y\r\n", "" },
        // Only a dot with one line end terminates; more CRs make it data, so
        // that they count towards the block's limit while they arrive.
        { "dot and two CRs", { { ".\r\r", 2 } }, "\n.\n", "\r\r\n", "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TReceiveBuffer buffer;
        std::string block;
        for (const auto& [chunk, pending] : c.unfinished) {
            buffer.Append(chunk);
            EXPECT_FALSE(buffer.TakeDataLines(block));
            EXPECT_EQ(buffer.PendingDataBytes(), pending);
        }
        buffer.Append(c.last);
        EXPECT_TRUE(buffer.TakeDataLines(block));
        EXPECT_EQ(block, c.block);
        EXPECT_EQ(buffer.Pending(), c.rest);
    }
}

} // namespace
} // namespace lumigrab
