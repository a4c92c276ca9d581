// The news client and lumigrab-harvest against the test INN2's TLS server on
// 127.0.0.2, which takes readers only after a login. The fixture
// (tests/news/inn) passes LUMIGRAB_NNTPS_PORT and LUMIGRAB_INN_DIR; the
// server's certificate authority, fingerprint and account are in
// LUMIGRAB_INN_DIR/tls.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "inn_test_support.h"

namespace lumigrab {
namespace {

using testing::FileLines;
using testing::RecordSentLines;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const char* const PictureGroup = "lumigrab.test.pictures";
const char* const SecureAddress = "127.0.0.2";

class NntpsTest : public testing::InnClientTest {
protected:
    fs::path tlsDir = innDir / "tls";
    std::string user;
    std::string password;
    std::string fingerprint;
    std::optional<ScopedEnvironment> certFile;

    void SetUp() override
    {
        SetUpClient("LUMIGRAB_NNTPS_PORT", "INN2 TLS test server", { "tls/account" });
        if (Stopped())
            return;
        const Strings account = FileLines(tlsDir / "account");
        ASSERT_EQ(account.size(), 2u);
        user = account[0];
        password = account[1];
        fingerprint = FileLines(tlsDir / "server.fingerprint").at(0);
        ResolveTestNamesTo(SecureAddress);
        TrustTheTestAuthority(true);
        client.UseTLS = true;
        client.Server = "news.lumigrab.test:" + port;
        client.UserName = user;
        client.Password = password;
    }

    // Untrusted: only the system's own authorities count.
    void TrustTheTestAuthority(bool trusted)
    {
        certFile.reset();
        certFile.emplace("SSL_CERT_FILE",
            trusted ? std::optional<std::string>((tlsDir / "ca.pem").string()) : std::nullopt);
    }

    // The exception a refused connection raises; fails the test when it
    // connects.
    std::optional<EUntrustedCertificateError> Refusal()
    {
        try {
            client.SetNewsGroup(PictureGroup);
        } catch (const EUntrustedCertificateError& e) {
            EXPECT_FALSE(client.Connected());
            return e;
        }
        ADD_FAILURE() << "the certificate was accepted";
        return std::nullopt;
    }
};

TEST_F(NntpsTest, LogsInOverTlsAndFetchesAPicture)
{
    const auto sent = RecordSentLines(client);
    client.SetNewsGroup(PictureGroup);
    EXPECT_EQ(client.ArticleCount(), 15);
    EXPECT_EQ(*sent,
        (Strings { "AUTHINFO USER " + user, "AUTHINFO PASS ****", "GROUP " + std::string(PictureGroup) }));
    EXPECT_EQ(client.PeerFingerprint(), fingerprint);
    client.RetrieveArticleByNumber(3);
    ASSERT_EQ(article.Attachments().Count(), 1);
    EXPECT_EQ(std::string(article.Attachments().Items(0).Stream.View()),
        ReadFileBytes(Expected(PictureGroup) / "single.gif"));
    EXPECT_TRUE(errors.empty());
}

TEST_F(NntpsTest, TheServerWantsALoginAndRefusesAWrongPassword)
{
    client.UserName.clear();
    EXPECT_THROW(client.SetNewsGroup(PictureGroup), ESocketError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].substr(0, 4), "480 ");

    client.Disconnect();
    client.UserName = user;
    client.Password = password + "x";
    ExpectRaises<ESocketError>([&] { client.SetNewsGroup(PictureGroup); },
        "The server refused the user name or password (481 Authentication failed)");
    EXPECT_FALSE(client.Connected());
}

TEST_F(NntpsTest, CertificateForAnotherNameIsRefused)
{
    client.Server = "other.lumigrab.test:" + port;
    const auto refusal = Refusal();
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->Message(),
        "The certificate of other.lumigrab.test was refused: it is not valid for "
        "other.lumigrab.test");
    EXPECT_EQ(refusal->Fingerprint(), fingerprint);
}

TEST_F(NntpsTest, UntrustedCertificateIsAcceptedAfterTrustingItsFingerprint)
{
    TrustTheTestAuthority(false);
    const auto refusal = Refusal();
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->Reason(), "its issuer is unknown");
    EXPECT_EQ(refusal->Fingerprint(), fingerprint);

    client.TrustedFingerprint = refusal->Fingerprint();
    client.SetNewsGroup(PictureGroup);
    EXPECT_EQ(client.ArticleCount(), 15);
}

// lumigrab-harvest over TLS with a login.
class NntpsToolTest : public NntpsTest, protected testing::HarvestToolRunner {
protected:
    const fs::path folder = scratch.Path() / "pictures";

    void Run(const std::string& arguments)
    {
        // The password reaches the tool through its environment only.
        const ScopedEnvironment passwordVariable("LUMIGRAB_PASSWORD", password);
        RunTool("--tls --server " + std::string(SecureAddress) + ":" + port + " --user " + user + " --group "
            + PictureGroup + " --folder " + folder.string() + " " + arguments);
    }
};

TEST_F(NntpsToolTest, HarvestsOverTlsWithALogin)
{
    const fs::path log = scratch.Path() / "protocol.log";
    Run("--log " + log.string());
    // The group's unfinished multi-part posts are reported.
    EXPECT_EQ(exitCode, 3) << err;
    ExpectExactlyThePictures(folder, PictureGroup);
    const std::string protocol = ReadFileBytes(log);
    EXPECT_NE(protocol.find("AUTHINFO PASS ****"), std::string::npos) << protocol;
    EXPECT_EQ(protocol.find(password), std::string::npos);
}

TEST_F(NntpsToolTest, ShowsTheFingerprintOfARefusedCertificateAndTrustsIt)
{
    TrustTheTestAuthority(false);
    Run("--count 1");
    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(err.find("The certificate of 127.0.0.2 was refused: its issuer is unknown"), std::string::npos)
        << err;
    EXPECT_NE(err.find("SHA-256 fingerprint: " + fingerprint), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(folder) && !fs::is_empty(folder));

    Run("--count 1 --trust " + fingerprint);
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_NE(err.find("Total articles: 15"), std::string::npos) << err;
}

} // namespace
} // namespace lumigrab
