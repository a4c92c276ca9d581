// Which reply lines the news client takes for answers and which end the
// command with an error, as its OnError handler may reword it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "news/msnntp.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using Strings = std::vector<std::string>;

TEST(NntpReplyCheck, AcceptsSuccessAndNoNextArticleOnly)
{
    TmsNNTP client;
    Strings errors;
    client.OnError = [&](TObject*, std::string& msg) { errors.push_back(msg); };
    for (const char* reply : { "200 ready", "211 3 1 3 g", "340 send article", "421 no next article", "223" })
        EXPECT_NO_THROW(client.CheckReply(reply)) << reply;
    EXPECT_TRUE(errors.empty());
    const Strings refused = { "411 no such group", "423 no such article number", "500-continued error", "2",
        "20", "", "42", "199 info" };
    for (const std::string& reply : refused) {
        SCOPED_TRACE(reply);
        ExpectRaises<ESocketError>([&] { client.CheckReply(reply); }, reply);
    }
    EXPECT_EQ(errors, refused);

    client.OnError = [](TObject*, std::string& msg) { msg = "replaced: " + msg; };
    ExpectRaises<ESocketError>(
        [&] { client.CheckReply("502 access denied"); }, "replaced: 502 access denied");
}

} // namespace
} // namespace lumigrab
