// The socket client over TLS against a loopback TLS server with throwaway
// certificates: which certificates are accepted, what a refusal says, the
// fingerprint the user may trust, and the waits of the handshake.
#include <gtest/gtest.h>

#include <QTimer>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/script_server.h"
#include "tests/support/tls_test_server.h"
#include "transport/kttls.h"
#include "transport/kttypes.h"
#include "transport/ktwsock.h"
#include "transport/msmb.h"

namespace lumigrab {
namespace {

using testing::CloseConnection;
using testing::Pause;
using testing::ReplyPause;
using testing::ScriptServer;
using testing::Send;
using testing::Step;
using testing::TestIdentity;
using testing::TlsScriptServer;
using Strings = std::vector<std::string>;

class TestClient : public TmsMailBase {
public:
    void CheckReply(const std::string& reply) override
    {
        if (!reply.empty() && reply[0] == '5')
            RaiseSocketError(reply);
    }
    void StartSession() override
    {
        ConnectSocket();
        std::string greeting;
        ReadReply(greeting);
    }
    void EndSession() override { SendLine("QUIT"); }

    std::string Ask(const std::string& command)
    {
        SendLine(command);
        std::string reply;
        ReadReply(reply);
        return reply;
    }
};

const TestIdentity& Authority()
{
    static const TestIdentity authority = TestIdentity::Authority("Lumigrab test authority");
    return authority;
}

// A data block of many TLS records, as the reader should store it.
std::string BlockText()
{
    std::string block = ".stuffed\r\n";
    for (int i = 0; i < 3000; ++i)
        block += std::string(size_t(i % 97), char('a' + i % 26)) + "\r\n";
    return block + std::string(40000, 'z') + "\r\n";
}

std::optional<std::string> Answer(const std::string& command)
{
    if (command == "GROUP x")
        return std::string("211 0 1 0 x\r\n");
    if (command == "BLOCK") {
        std::string block = "." + BlockText();
        // Sent in two writes apart in time.
        block.insert(block.size() / 2, ReplyPause);
        return "222 block follows\r\n" + block + ".\r\n";
    }
    return std::string("500 unknown\r\n");
}

class TlsTest : public ::testing::Test {
protected:
    ScratchFolder folder;
    std::optional<ScopedEnvironment> certFile;
    std::optional<ScopedEnvironment> certDir;
    TestClient client;
    Strings errors;

    void SetUp() override
    {
        Authority().WritePem(folder.Path() / "authority.pem");
        TestIdentity::Authority("Someone else").WritePem(folder.Path() / "other.pem");
        std::filesystem::create_directory(folder.Path() / "none");
        // Only our throwaway authority is trusted, whatever the system has.
        certDir.emplace("SSL_CERT_DIR", (folder.Path() / "none").string());
        TrustOurAuthority(true);
        client.SetWinsockLoaded(true);
        client.TimeOut = 5;
        client.UseTLS = true;
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
    }

    void TrustOurAuthority(bool trusted)
    {
        certFile.reset();
        certFile.emplace(
            "SSL_CERT_FILE", (folder.Path() / (trusted ? "authority.pem" : "other.pem")).string());
    }
};

struct CertificateCase {
    const char* name;
    const char* altNames;
    const char* host;
    long notAfter;
    bool authorityTrusted;
    enum { NoPin, ItsPin, OtherPin } pin;
    // Empty when the certificate is accepted.
    std::string refusal;
};

TEST_F(TlsTest, AcceptsOnlyTrustedCertificatesForTheHost)
{
    const TestIdentity stranger = Authority().Issue("DNS:localhost");
    const CertificateCase cases[] = {
        { "valid for the name", "DNS:localhost", "localhost", 3600, true, CertificateCase::NoPin, "" },
        { "valid for the address", "IP:127.0.0.1", "127.0.0.1", 3600, true, CertificateCase::NoPin, "" },
        { "for another host", "DNS:news.example.org", "localhost", 3600, true, CertificateCase::NoPin,
            "it is not valid for localhost" },
        { "for another address", "DNS:localhost,IP:127.0.0.9", "127.0.0.1", 3600, true,
            CertificateCase::NoPin, "it is not valid for 127.0.0.1" },
        { "expired", "DNS:localhost", "localhost", -60, true, CertificateCase::NoPin, "it has expired" },
        { "unknown issuer", "DNS:localhost", "localhost", 3600, false, CertificateCase::NoPin,
            "its issuer is unknown" },
        { "unknown issuer, its fingerprint trusted", "DNS:localhost", "localhost", 3600, false,
            CertificateCase::ItsPin, "" },
        { "another host, its fingerprint trusted", "DNS:news.example.org", "localhost", 3600, true,
            CertificateCase::ItsPin, "" },
        { "unknown issuer, another fingerprint trusted", "DNS:localhost", "localhost", 3600, false,
            CertificateCase::OtherPin, "its issuer is unknown" },
    };
    for (const CertificateCase& c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        const TestIdentity identity = Authority().Issue(c.altNames, -7200, c.notAfter);
        TlsScriptServer server(identity, Answer, "200 secure server ready\r\n");
        TrustOurAuthority(c.authorityTrusted);
        client.Server = std::string(c.host) + ":" + std::to_string(server.Port());
        client.TrustedFingerprint = c.pin == CertificateCase::ItsPin ? identity.Sha256Hex()
            : c.pin == CertificateCase::OtherPin                     ? stranger.Sha256Hex()
                                                                     : "";
        const std::string fingerprint = NormalizeFingerprint(identity.Sha256Hex());
        if (c.refusal.empty()) {
            client.Connect();
            EXPECT_EQ(client.Ask("GROUP x"), "211 0 1 0 x");
            EXPECT_EQ(server.Lines(), Strings { "GROUP x" });
            // The name goes to the server; an address does not.
            EXPECT_EQ(server.ServerName(), c.host == std::string("localhost") ? "localhost" : "");
            client.Close();
        } else {
            try {
                client.Connect();
                ADD_FAILURE() << "connected";
            } catch (const EUntrustedCertificateError& e) {
                const std::string text
                    = "The certificate of " + std::string(c.host) + " was refused: " + c.refusal;
                EXPECT_EQ(e.Message(), text);
                EXPECT_EQ(e.Reason(), c.refusal);
                EXPECT_EQ(e.Fingerprint(), fingerprint);
                EXPECT_EQ(errors, Strings { text });
            }
            EXPECT_FALSE(client.Connected());
            EXPECT_EQ(server.Handshakes(), 0);
            EXPECT_TRUE(server.Lines().empty());
        }
        EXPECT_EQ(client.PeerFingerprint(), fingerprint);
    }
}

// "[::1]:port" checks the certificate against the IPv6 address, never
// against the text with its brackets; a name that resolves to ::1 is
// checked as that name.
TEST_F(TlsTest, ChecksAnIPv6LiteralAgainstTheCertificatesAddresses)
{
    if (!testing::HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    struct Case {
        const char* altNames;
        const char* host;
        std::string refusal;
    };
    const Case cases[] = {
        { "IP:::1", "[::1]", "" },
        { "DNS:localhost,IP:0:0:0:0:0:0:0:1", "[::1]", "" },
        { "IP:127.0.0.1,DNS:localhost", "[::1]", "it is not valid for ::1" },
        { "IP:::2", "[::1]", "it is not valid for ::1" },
        { "DNS:news.example.org", "news.example.org", "" },
        { "IP:::1", "news.example.org", "it is not valid for news.example.org" },
    };
    Winsock().SetHostResolver(
        [](const std::string&) { return THostLookup(0, 0, { *TSocketAddress::FromLiteral("::1") }); });
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.altNames) + " for " + c.host);
        errors.clear();
        TlsScriptServer server(Authority().Issue(c.altNames), Answer, "200 secure server ready\r\n", "::1");
        client.Server = std::string(c.host) + ":" + std::to_string(server.Port());
        if (c.refusal.empty()) {
            client.Connect();
            EXPECT_EQ(client.Ask("GROUP x"), "211 0 1 0 x");
            client.Close();
            EXPECT_TRUE(errors.empty());
        } else {
            ExpectRaises<EUntrustedCertificateError>([&] { client.Connect(); },
                "The certificate of " + client.ServerHost() + " was refused: " + c.refusal);
            EXPECT_FALSE(client.Connected());
        }
    }
    Winsock().SetHostResolver({});
}

TEST_F(TlsTest, DataBlocksArriveWhole)
{
    TlsScriptServer server(Authority().Issue("DNS:localhost"), Answer, "200 ready\r\n");
    client.Server = "localhost:" + std::to_string(server.Port());
    client.Connect();
    EXPECT_EQ(client.Ask("BLOCK"), "222 block follows");
    TMemoryStream data;
    client.ReadMultiLine(data, -1);
    EXPECT_EQ(data.View(), BlockText());
    // The connection goes on after the block.
    EXPECT_EQ(client.Ask("GROUP x"), "211 0 1 0 x");
}

enum class Ending { TimedOut, Canceled, Failed };

struct HandshakeCase {
    const char* name;
    std::vector<Step> server;
    Ending ending;
    std::string message;
};

TEST_F(TlsTest, HandshakeWaitsEndLikeEveryOtherWait)
{
    const HandshakeCase cases[] = {
        { "silent server", {}, Ending::TimedOut, "Operation timed out" },
        { "canceled", {}, Ending::Canceled, "Operation has been canceled" },
        // Closing with the client's hello unread resets the connection.
        { "server hangs up", { Pause(100), CloseConnection() }, Ending::Failed,
            "[10054] Connection reset by peer" },
        { "plain server", { Send("200 plain news server ready\r\n"), Pause(200) }, Ending::Failed,
            "Secure connection failed: wrong version number" },
    };
    for (const HandshakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        ScriptServer server(c.server);
        client.Server = server.Address();
        client.TimeOut = 1;
        if (c.ending == Ending::Canceled)
            QTimer::singleShot(200, [this] { client.Cancel(); });
        std::string raised;
        try {
            client.Connect();
            ADD_FAILURE() << "connected";
        } catch (const ETimedOutError& e) {
            EXPECT_EQ(c.ending, Ending::TimedOut);
            raised = e.Message();
        } catch (const ECanceledError& e) {
            EXPECT_EQ(c.ending, Ending::Canceled);
            raised = e.Message();
        } catch (const ESocketError& e) {
            EXPECT_EQ(c.ending, Ending::Failed);
            raised = e.Message();
        }
        EXPECT_EQ(raised, c.message);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], raised);
        EXPECT_FALSE(client.Connected());
        client.ResetState();
    }
}

TEST(TlsFingerprint, NormalizedFromCommonSpellings)
{
    const std::string canonical = "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:"
                                  "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
    std::string bare;
    for (char c : canonical) {
        if (c != ':')
            bare += char(std::tolower(c));
    }
    for (const std::string& text : { canonical, bare, "sha256 Fingerprint=" + canonical, " " + bare + "\n" })
        EXPECT_EQ(NormalizeFingerprint(text), canonical) << text;
    for (const std::string& text : { std::string(), bare.substr(2), bare + "00", "g" + bare.substr(1) })
        EXPECT_EQ(NormalizeFingerprint(text), "") << text;
}

} // namespace
} // namespace lumigrab
