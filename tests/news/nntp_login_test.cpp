// Logging in (AUTHINFO USER/PASS) against a scripted server: what is sent,
// what each refusal says, and that the password never reaches the log.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "transport/ktwsock.h"

namespace lumigrab {
namespace {

using testing::RecordSentLines;
using testing::ScriptServer;
using Strings = std::vector<std::string>;

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

} // namespace
} // namespace lumigrab
