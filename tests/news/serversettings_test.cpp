// Which changes of how a server is reached call for a new connection.
#include "news/serversettings.h"

#include <gtest/gtest.h>

#include <functional>

namespace lumigrab {
namespace {

struct ChangeCase {
    const char* name;
    std::function<void(TServerSettings&)> change;
    bool sameConnection;
};

TEST(SameConnection, OnlyTheCountAndTheTrustedFingerprintKeepIt)
{
    const ChangeCase cases[] = {
        { "nothing", [](TServerSettings&) {}, true },
        { "connections", [](TServerSettings& s) { s.Connections = 8; }, true },
        { "trusted fingerprint", [](TServerSettings& s) { s.TrustedFingerprint = "AB:CD"; }, true },
        { "server", [](TServerSettings& s) { s.Server = "other:119"; }, false },
        { "TLS", [](TServerSettings& s) { s.UseTLS = true; }, false },
        { "user name", [](TServerSettings& s) { s.UserName = "someone"; }, false },
        { "password", [](TServerSettings& s) { s.Password = "new"; }, false },
        { "log file", [](TServerSettings& s) { s.LogFileName = "other.log"; }, false },
        { "compression", [](TServerSettings& s) { s.CompressHeaders = false; }, false },
    };
    const TServerSettings before { "news:119", false, "", "reader", "old", 4, "nntp.log", true };
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TServerSettings after = before;
        c.change(after);
        EXPECT_EQ(SameConnection(before, after), c.sameConnection);
        EXPECT_EQ(SameConnection(after, before), c.sameConnection);
    }
}

} // namespace
} // namespace lumigrab
