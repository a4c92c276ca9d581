// The news client against the INN2 test server over IPv6: the CTest fixture
// (tests/news/inn) makes innd listen on [::1] too when the machine has an
// IPv6 loopback, and says so with LUMIGRAB_INN_DIR/ipv6.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/msnntp.h"
#include "tests/support/qt_environment.h"
#include "transport/ktwsock.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

const char* const TextGroup = "lumigrab.test.text";
constexpr int TextArticles = 30;

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

class InnIPv6Test : public ::testing::Test {
protected:
    std::string port;
    TmsArticle article;
    TmsNNTP client;
    std::vector<std::string> errors;

    void SetUp() override
    {
        const fs::path innDir = Environment("LUMIGRAB_INN_DIR");
        port = Environment("LUMIGRAB_NNTP_PORT");
        if (port.empty() || innDir.empty() || !fs::exists(innDir / "ready")) {
            if (Environment("LUMIGRAB_REQUIRE_INN") == "1")
                FAIL() << "the INN2 test server is not running (LUMIGRAB_REQUIRE_INN=1)";
            GTEST_SKIP() << "no INN2 test server (run the tests through ctest with INN2 installed)";
        }
        if (!fs::exists(innDir / "ipv6"))
            GTEST_SKIP() << "the INN2 test server does not listen on ::1 (no IPv6 loopback here)";
        client.SetWinsockLoaded(true);
        client.TimeOut = 30;
        client.SetArticle(&article);
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
    }

    void TearDown() override { Winsock().SetHostResolver({}); }

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
