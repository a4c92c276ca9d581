// The session against a scripted server: logging in (AUTHINFO USER/PASS),
// what is sent, what each refusal says, and that the password never reaches
// the log; the port of a secure connection; what the server offers, asked as
// the connection opens; compressing the connection; the greeting and QUIT.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "tests/support/deflate_channel.h"
#include "tests/support/tls_test_server.h"
#include "transport/kttls.h"
#include "transport/ktwsock.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::HeaderNumbers;
using testing::NntpClientTest;
using testing::OverviewTest;
using testing::PrintTo;
using testing::RecordSentLines;
using testing::ScriptServer;
using Overview = FakeGroup::Overview;
using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;

const char* const Password = "s3cret";
const std::string User = "AUTHINFO USER reader";
const std::string Pass = "AUTHINFO PASS ****";
const std::string Group = "GROUP lumigrab.test";

// Replies per command, taken in turn; the last one repeats.
using Replies = std::map<std::string, Strings>;

struct LoginCase {
    const char* name;
    std::string userName;
    Replies replies;
    // The lines sent, as the client's log shows them.
    Strings sent;
    // Empty when the group is selected.
    std::string error;
};

class ScriptedReplies {
public:
    explicit ScriptedReplies(Replies replies)
        : replies_(std::move(replies))
    {
    }

    std::optional<std::string> operator()(const std::string& command)
    {
        Strings& queue = replies_[command];
        if (queue.empty())
            return std::string("500 unexpected\r\n");
        std::string reply = queue.front();
        if (queue.size() > 1)
            queue.erase(queue.begin());
        return reply + "\r\n";
    }

private:
    Replies replies_;
};

Replies Standard(Replies changes)
{
    Replies replies
        = { { User, { "381 PASS required" } }, { "AUTHINFO PASS " + std::string(Password), { "281 Ok" } },
              { Group, { "211 5 1 5 lumigrab.test" } }, { "QUIT", { "205 bye" } } };
    for (auto& [command, answers] : changes)
        replies[command] = answers;
    return replies;
}

const std::string RealPass = "AUTHINFO PASS " + std::string(Password);

TEST(NntpLogin, RepliesToEachStep)
{
    const LoginCase cases[] = {
        { "accepted", "reader", Standard({}), { User, Pass, Group }, "" },
        { "user name alone", "reader", Standard({ { User, { "281 Ok" } } }), { User, Group }, "" },
        { "no user name, no login", "", Standard({}), { Group }, "" },
        { "wrong password", "reader", Standard({ { RealPass, { "481 Authentication failed" } } }),
            { User, Pass }, "The server refused the user name or password (481 Authentication failed)" },
        { "connection limit", "reader",
            Standard({ { RealPass, { "482 Too many connections for your user" } } }), { User, Pass },
            "Too many connections for this account (482 Too many connections for your user)" },
        { "out of sequence", "reader",
            Standard({ { RealPass, { "482 Authentication commands issued out of sequence" } } }),
            { User, Pass },
            "The server refused the login sequence (482 Authentication commands issued out of sequence)" },
        { "not permitted", "reader", Standard({ { User, { "502 Permission denied" } } }), { User },
            "The server does not permit this account to log in (502 Permission denied)" },
        { "login not understood", "reader", Standard({ { User, { "500 What?" } } }), { User }, "500 What?" },
        { "480 mid-session", "reader",
            Standard({ { Group, { "480 Authentication required", "211 5 1 5 g" } } }),
            { User, Pass, Group, User, Pass, Group }, "" },
        { "480 after logging in again", "reader", Standard({ { Group, { "480 Authentication required" } } }),
            { User, Pass, Group, User, Pass, Group }, "480 Authentication required" },
        { "480 and the second login refused", "reader",
            Standard({ { Group, { "480 Authentication required" } },
                { RealPass, { "281 Ok", "481 Authentication failed" } } }),
            { User, Pass, Group, User, Pass },
            "The server refused the user name or password (481 Authentication failed)" },
        { "480 without a user name", "", Standard({ { Group, { "480 Authentication required" } } }),
            { Group }, "480 Authentication required" },
        // Refused before anything is sent.
        { "a line break in the user name", "reader\r\nPOST", Standard({}), {}, "Invalid command argument" },
    };
    for (const LoginCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto replies = std::make_shared<ScriptedReplies>(c.replies);
        ScriptServer server(
            [replies](const std::string& command) { return (*replies)(command); }, "200 ready\r\n");
        ScratchFolder folder;
        TmsNNTP client;
        client.SetWinsockLoaded(true);
        client.Server = server.Address();
        client.TimeOut = 5;
        client.LogFileName = (folder.Path() / "protocol.log").string();
        client.UserName = c.userName;
        client.Password = Password;
        Strings errors;
        client.OnError = [&](TObject*, std::string& msg) { errors.push_back(msg); };
        const auto sent = RecordSentLines(client);

        if (c.error.empty()) {
            client.SetNewsGroup("lumigrab.test");
            EXPECT_EQ(client.ArticleCount(), 5);
        } else {
            ExpectRaises<ESocketError>([&] { client.SetNewsGroup("lumigrab.test"); }, c.error);
            EXPECT_EQ(errors, Strings { c.error });
        }
        EXPECT_EQ(*sent, c.sent);
        Strings received = server.Lines();
        for (std::string& line : received) {
            if (line == RealPass)
                line = Pass;
        }
        EXPECT_EQ(received, c.sent);
        for (int i = 0; i < client.Log.Count(); ++i)
            EXPECT_EQ(client.Log[i].find(Password), std::string::npos) << client.Log[i];
    }
}

TEST(NntpTls, PortWithoutOneInServerIsTheSecureNewsService)
{
    TmsNNTP client;
    client.SetWinsockLoaded(true);
    client.Server = "127.0.0.1";
    Strings asked;
    uint16_t found = 5563;
    Winsock().SetServiceResolver([&](const std::string& name, const std::string&) {
        asked.push_back(name);
        return found ? TServiceLookup { 0, found } : TServiceLookup { WSANO_DATA, 0 };
    });
    for (bool tls : { false, true }) {
        client.UseTLS = tls;
        client.Open();
        EXPECT_EQ(client.Port(), 5563);
        found = 0;
        client.Open();
        EXPECT_EQ(client.Port(), tls ? 563 : 119);
        client.Close();
        found = 5563;
    }
    Winsock().SetServiceResolver({});
    EXPECT_EQ(asked, (Strings { "nntp", "nntp", "nntps", "nntps" }));
}

// ---- what the server offers, asked as the connection opens

struct SessionCase {
    const char* name;
    Overview overview;
    // Every command of two walks on two groups over one connection.
    Strings sent;
    // The server lists MODE-READER, not READER, and refuses GROUP until
    // MODE READER.
    bool switchesModes = false;
    // After the first login GROUP and LIST OVERVIEW.FMT are answered 480:
    // the session wants a login again.
    bool loginForGroup = false;
};

class SessionStartTest : public OverviewTest, public ::testing::WithParamInterface<SessionCase> {
protected:
    bool readerMode = false;
    int logins = 0;

    std::optional<std::string> Answer(const std::string& command)
    {
        const SessionCase& c = GetParam();
        if (command == "AUTHINFO USER reader")
            return std::string("381 password please\r\n");
        if (command == "AUTHINFO PASS secret") {
            ++logins;
            return std::string("281 welcome\r\n");
        }
        if (c.switchesModes && command == "MODE READER") {
            readerMode = true;
            return std::string("200 reader mode\r\n");
        }
        if (c.switchesModes && !readerMode && command == "CAPABILITIES")
            return std::string("101 capabilities\r\nVERSION 2\r\nIHAVE\r\nMODE-READER\r\n.\r\n");
        if (c.switchesModes && !readerMode && command.starts_with("GROUP "))
            return std::string("502 transit service only\r\n");
        if (c.loginForGroup && logins < 2
            && (command.starts_with("GROUP ") || command == "LIST OVERVIEW.FMT"))
            return std::string("480 login first\r\n");
        return group->Reply(command);
    }
};

// CAPABILITIES goes out once the greeting (and the login) is in, and the
// first GROUP behind it without waiting; LIST OVERVIEW.FMT as soon as the
// capabilities show it. MODE READER and AUTHINFO never go out while a reply
// is owed, and every reply is taken for its own command: the walks take
// their headers and QUIT is answered by its own reply.
TEST_P(SessionStartTest, AskedOnceBeforeAnyGroup)
{
    const SessionCase& c = GetParam();
    group->overview = c.overview;
    group->count = 3;
    StartServer("200 ready\r\n", [this](const std::string& command) { return Answer(command); });
    if (c.loginForGroup) {
        client.UserName = "reader";
        client.Password = "secret";
    }
    for (const char* name : { "lumigrab.test", "lumigrab.other" }) {
        group->name = name;
        client.SetNewsGroup(group->name);
        client.RetrieveHeaders(0, true);
    }
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 1, 2, 3 }));
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_TRUE(errors.empty());

    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.front(), "< 200 ready");
    transcript.erase(transcript.begin());
    Strings sent;
    for (const std::string& line : transcript) {
        if (line.starts_with("> ") && line != "> QUIT")
            sent.push_back(line.substr(2));
    }
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(OutstandingWhenSent("GROUP"), 1);
    int outstanding = 0;
    for (const std::string& line : transcript) {
        if (line.starts_with("> AUTHINFO") || line.starts_with("> MODE READER")) {
            EXPECT_EQ(outstanding, 0) << line;
        }
        outstanding += line.starts_with("> ") ? 1 : -1;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, SessionStartTest,
    ::testing::Values(SessionCase { "Version2WithOver", Overview::Over,
                          { "CAPABILITIES", "GROUP lumigrab.test", "LIST OVERVIEW.FMT", "OVER 1-1001",
                              "GROUP lumigrab.other", "OVER 1-1001" } },
        // CAPABILITIES is an unknown command (500): XOVER shows the
        // overview, then the format is asked for, one command at a time.
        SessionCase { "NoCapabilities", Overview::XOver,
            { "CAPABILITIES", "GROUP lumigrab.test", "XOVER 1-1001", "LIST OVERVIEW.FMT",
                "GROUP lumigrab.other", "XOVER 1-1001" } },
        // What the server offers is asked again in reader mode.
        SessionCase { "ReaderModeWanted", Overview::Over,
            { "CAPABILITIES", "GROUP lumigrab.test", "MODE READER", "CAPABILITIES", "GROUP lumigrab.test",
                "LIST OVERVIEW.FMT", "OVER 1-1001", "GROUP lumigrab.other", "OVER 1-1001" },
            true },
        // The format list, sent behind the refused GROUP, is answered
        // before the login and asked for again after it.
        SessionCase { "LoginWantedForGroup", Overview::Over,
            { "AUTHINFO USER reader", "AUTHINFO PASS ****", "CAPABILITIES", "GROUP lumigrab.test",
                "LIST OVERVIEW.FMT", "AUTHINFO USER reader", "AUTHINFO PASS ****", "LIST OVERVIEW.FMT",
                "GROUP lumigrab.test", "OVER 1-1001", "GROUP lumigrab.other", "OVER 1-1001" },
            false, true }),
    [](const auto& info) { return std::string(info.param.name); });

// ---- compressing the connection

struct CompressionCase {
    const char* name;
    // What the server does: lists COMPRESS DEFLATE and answers it, takes
    // XFEATURE COMPRESS GZIP with the terminator after the stream or
    // inside it, or refuses both.
    enum class Server { Deflate, DeflateRefused, Gzip, GzipTerminatorInside, Plain } server;
    bool tls = false;
    bool login = false;
    // Bytes the reply to GROUP (a line) or to OVER (a block) inflates to;
    // 0: the usual replies.
    size_t lineBomb = 0;
    size_t blockBomb = 0;
    // The commands sent before QUIT, as the log shows them.
    Strings sent;
    // Empty when the walk takes articles 1 to 3.
    std::string error;
};

// Speaks deflate after its 206; its overview is compressed after a 290.
class CompressingServer {
public:
    explicit CompressingServer(const CompressionCase& c)
        : case_(c)
    {
        group_.count = 3;
        group_.overview = Overview::Over;
    }

    std::optional<std::string> Answer(const std::string& command)
    {
        using Server = CompressionCase::Server;
        const bool deflate = case_.server == Server::Deflate || case_.server == Server::DeflateRefused;
        const bool gzip = case_.server == Server::Gzip || case_.server == Server::GzipTerminatorInside;
        if (command == "AUTHINFO USER reader")
            return std::string("381 password please\r\n");
        if (command == "AUTHINFO PASS secret")
            return std::string("281 welcome\r\n");
        if (command == "CAPABILITIES")
            return "101 capabilities\r\nVERSION 2\r\nREADER\r\nOVER\r\nLIST ACTIVE OVERVIEW.FMT\r\n"
                + std::string(deflate ? "COMPRESS DEFLATE\r\n" : "") + ".\r\n";
        if (command == "COMPRESS DEFLATE" && deflate)
            return std::string(case_.server == Server::Deflate ? "206 compression active\r\n"
                                                                : "403 compression failed\r\n");
        if (command == "XFEATURE COMPRESS GZIP" && gzip) {
            gzipOn_ = true;
            return std::string("290 feature enabled\r\n");
        }
        if (command.starts_with("GROUP ") && case_.lineBomb)
            return "211 " + std::string(case_.lineBomb, '7') + "\r\n";
        if (command.starts_with("OVER "))
            return OverviewReply(command.substr(5));
        return group_.Reply(command);
    }

private:
    CompressionCase case_;
    FakeGroup group_;
    bool gzipOn_ = false;

    std::string OverviewReply(const std::string& range) const
    {
        std::string reply = group_.OverviewReply(range);
        if (case_.blockBomb)
            reply = "224 overview follows\r\n" + std::string(case_.blockBomb, 'x') + ".\r\n";
        if (!gzipOn_)
            return reply;
        const size_t data = reply.find("\r\n") + 2;
        std::string lines = reply.substr(data);
        const std::string status = reply.substr(0, data - 2) + " [COMPRESS=GZIP]\r\n";
        if (case_.server == CompressionCase::Server::GzipTerminatorInside)
            return status + testing::Compressed(lines, 15 + 16);
        lines.resize(lines.size() - 3);
        return status + testing::Compressed(lines) + ".\r\n";
    }
};

const Strings OverviewFormat = { "CAPABILITIES", "LIST OVERVIEW.FMT" };

Strings Then(Strings first, const Strings& more)
{
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

// The connection is compressed before the group, the walk reads through
// the compression, a refusal is no error, and the bounds of a line and of a
// block hold for what a few compressed kilobytes inflate to.
TEST(NntpCompression, EachServerShape)
{
    using Server = CompressionCase::Server;
    const Strings walk = { "GROUP lumigrab.test", "OVER 1-1001" };
    const Strings deflate = Then(OverviewFormat, { "COMPRESS DEFLATE" });
    const Strings gzip = Then(OverviewFormat, { "XFEATURE COMPRESS GZIP" });
    const CompressionCase cases[] = {
        { "COMPRESS then a walk", Server::Deflate, false, false, 0, 0, Then(deflate, walk), "" },
        { "COMPRESS refused", Server::DeflateRefused, false, false, 0, 0, Then(deflate, walk), "" },
        { "XFEATURE, terminator after the stream", Server::Gzip, false, false, 0, 0, Then(gzip, walk), "" },
        { "XFEATURE, terminator inside the stream", Server::GzipTerminatorInside, false, false, 0, 0,
            Then(gzip, walk), "" },
        { "XFEATURE refused", Server::Plain, false, false, 0, 0, Then(gzip, walk), "" },
        { "COMPRESS over TLS", Server::Deflate, true, false, 0, 0, Then(deflate, walk), "" },
        { "COMPRESS after a login", Server::Deflate, false, true, 0, 0,
            Then({ "AUTHINFO USER reader", "AUTHINFO PASS ****" }, Then(deflate, walk)), "" },
        { "XFEATURE over TLS after a login", Server::Gzip, true, true, 0, 0,
            Then({ "AUTHINFO USER reader", "AUTHINFO PASS ****" }, Then(gzip, walk)), "" },
        { "a line that inflates past its bound", Server::Deflate, false, false, 8 << 20, 0,
            Then(deflate, { "GROUP lumigrab.test" }), "Reply line longer than 65536 bytes" },
        { "a block that inflates past its bound", Server::Deflate, false, false, 0, 8 << 20,
            Then(deflate, walk), "Data block larger than 1048576 bytes" },
        { "a compressed block past its bound", Server::Gzip, false, false, 0, 8 << 20, Then(gzip, walk),
            "Data block larger than 1048576 bytes" },
    };
    const testing::TestIdentity identity
        = testing::TestIdentity::Authority("Lumigrab test authority").Issue("IP:127.0.0.1");
    for (const CompressionCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_shared<CompressingServer>(c);
        auto script = [server](const std::string& command) { return server->Answer(command); };
        std::unique_ptr<ScriptServer> plain;
        std::unique_ptr<testing::TlsScriptServer> secure;
        if (c.tls)
            secure = std::make_unique<testing::TlsScriptServer>(
                identity, script, "200 ready\r\n", "127.0.0.1", testing::DeflatingAfter206);
        else
            plain = std::make_unique<ScriptServer>(script, "200 ready\r\n", testing::DeflatingAfter206());
        ScratchFolder folder;
        TmsNNTP client;
        client.SetWinsockLoaded(true);
        client.Server = c.tls ? secure->Address() : plain->Address();
        client.UseTLS = c.tls;
        client.TrustedFingerprint = NormalizeFingerprint(identity.Sha256Hex());
        client.TimeOut = 5;
        client.UseOverview = true;
        client.Compress = true;
        client.MaxArticleSize = 1 << 20;
        client.LogFileName = (folder.Path() / "protocol.log").string();
        if (c.login) {
            client.UserName = "reader";
            client.Password = "secret";
        }
        const auto sent = RecordSentLines(client);

        if (c.error.empty()) {
            client.SetNewsGroup("lumigrab.test");
            client.RetrieveHeaders(0, true);
            EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3 }));
            EXPECT_EQ(client.Compressed(), c.server == Server::Deflate);
            const bool gzip = c.server == Server::Gzip || c.server == Server::GzipTerminatorInside;
            EXPECT_GE(client.Log.IndexOf(gzip ? "224 overview follows [COMPRESS=GZIP]" : "224 overview follows"),
                client.Log.IndexOf("OVER 1-1001"));
        } else {
            ExpectRaises<ESocketError>(
                [&] {
                    client.SetNewsGroup("lumigrab.test");
                    client.RetrieveHeaders(0, true);
                },
                c.error);
            EXPECT_FALSE(client.Connected());
        }
        EXPECT_EQ(*sent, c.sent);
        client.Disconnect();
    }
}

TEST_F(NntpClientTest, DisconnectSendsQuitAndForgetsTheGroup)
{
    SelectTestGroup();
    client.Disconnect();
    EXPECT_EQ(server->Lines().back(), "QUIT");
    EXPECT_EQ(client.LastReply, "205 bye");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(NntpClientTest, BadGreetingFailsTheConnection)
{
    StartServer("502 no permission\r\n");
    ExpectRaises<ESocketError>([&] { SelectTestGroup(); }, "502 no permission");
    EXPECT_EQ(client.NewsGroup(), "");
}

} // namespace
} // namespace lumigrab
