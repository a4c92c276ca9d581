// The news client against the INN2 test server over IPv6: the CTest fixture
// (tests/news/inn) makes innd listen on [::1] too when the machine has an
// IPv6 loopback, and says so with LUMIGRAB_INN_DIR/ipv6.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "inn_test_support.h"
#include "tests/support/qt_environment.h"
#include "transport/ktwsock.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

const char* const TextGroup = "lumigrab.test.text";
constexpr int TextArticles = 30;

class InnIPv6Test : public testing::InnClientTest {
protected:
    void SetUp() override
    {
        SetUpClient("LUMIGRAB_NNTP_PORT", "INN2 test server");
        if (Stopped())
            return;
        if (!fs::exists(innDir / "ipv6"))
            GTEST_SKIP() << "the INN2 test server does not listen on ::1 (no IPv6 loopback here)";
    }

    // Walks the text group's headers and fetches its last article.
    void WalkTheTextGroup()
    {
        client.SetNewsGroup(TextGroup);
        EXPECT_EQ(client.ArticleCount(), TextArticles);
        client.RetrieveHeaders(0, true);
        EXPECT_EQ(client.HeaderList.Count(), TextArticles);
        client.RetrieveArticleByNumber(TextArticles);
        EXPECT_EQ(client.CurrentArticle(), TextArticles);
        client.Disconnect();
        EXPECT_TRUE(errors.empty()) << errors.front();
    }
};

TEST_F(InnIPv6Test, WalksAGroupThroughABracketedLiteral)
{
    client.Server = "[::1]:" + port;
    WalkTheTextGroup();
    EXPECT_EQ(client.RemoteAddress(), "");
}

// A name whose first address refuses (no server on 127.0.0.3) reaches the
// server on its IPv6 address.
TEST_F(InnIPv6Test, NameWhoseFirstAddressRefusesReachesTheServerOverIPv6)
{
    Winsock().SetHostResolver([](const std::string&) {
        return THostLookup(
            0, 0, { *TSocketAddress::FromLiteral("127.0.0.3"), *TSocketAddress::FromLiteral("::1") });
    });
    client.Server = "news.lumigrab.test:" + port;
    WalkTheTextGroup();
    EXPECT_EQ(client.RemoteAddress(), "::1");
}

} // namespace
} // namespace lumigrab
