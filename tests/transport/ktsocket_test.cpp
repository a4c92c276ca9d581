#include "transport/ktsocket.h"

#include <QTimer>

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "tests/support/script_server.h"
#include "transport/ktConst.h"
#include "transport/ktwsock.h"
#include "transport/msmb.h"

namespace lumigrab {
namespace {

using testing::CloseConnection;
using testing::Pause;
using testing::PrintTo;
using testing::ReadLine;
using testing::ScriptServer;
using testing::Send;
using testing::SendForever;
using testing::Step;
using Strings = std::vector<std::string>;

// A protocol client whose reply check rejects 5xx lines, like the news
// client does.
class TestClient : public TmsMailBase {
public:
    Strings checked;

    void CheckReply(const std::string& reply) override
    {
        checked.push_back(reply);
        if (!reply.empty() && reply[0] == '5')
            RaiseSocketError(reply);
    }
    void StartSession() override
    {
        ConnectSocket();
        std::string greeting;
        ReadReply(greeting);
    }
    void EndSession() override
    {
        SendLine("QUIT");
        std::string reply;
        ReadReply(reply);
    }
};

class SocketTest : public ::testing::Test {
protected:
    TestClient client;
    Strings errors;

    void SetUp() override
    {
        client.SetWinsockLoaded(true);
        client.TimeOut = 5;
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
        ResetResolvers();
    }
    void TearDown() override { ResetResolvers(); }

    static void ResetResolvers()
    {
        Winsock().SetHostResolver({});
        Winsock().SetServiceResolver({});
    }

    // Opens and connects to server without reading a greeting.
    void OpenTo(const ScriptServer& server)
    {
        client.Server = server.Address();
        client.Open();
        client.ConnectSocket();
    }

    std::string ReadReply()
    {
        std::string reply = "stale";
        client.ReadReply(reply);
        return reply;
    }

    std::string ReadBlock(int expected = -1)
    {
        TMemoryStream stream;
        client.ReadMultiLine(stream, expected);
        return std::string(stream.View());
    }

    std::vector<int> progress;
    void RecordProgress()
    {
        client.SizeInLines = true;
        client.OnProgress = [this](TObject*, int perc) { progress.push_back(perc); };
    }
};

double ThreadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct ReplyCase {
    const char* name;
    std::vector<Step> script;
    Strings replies;
};

class ReplyTest : public SocketTest, public ::testing::WithParamInterface<ReplyCase> { };

TEST_P(ReplyTest, ReadsEachReplyLineWithoutItsLineEnd)
{
    ScriptServer server(GetParam().script);
    OpenTo(server);
    for (const std::string& expected : GetParam().replies)
        EXPECT_EQ(ReadReply(), expected);
    EXPECT_EQ(client.checked, GetParam().replies);
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyTest,
    ::testing::Values(
        ReplyCase { "Plain", { Send("200 news.example ready\r\n") }, { "200 news.example ready" } },
        ReplyCase { "CrCrLf", { Send("211 5 1 5 alt.test\r\r\n") }, { "211 5 1 5 alt.test" } },
        ReplyCase { "LoneDigit", { Send("2\r\n") }, { "2" } },
        ReplyCase { "SplitAcrossSends", { Send("21"), Pause(50), Send("1 ok\r"), Pause(50), Send("\n") },
            { "211 ok" } },
        ReplyCase { "TwoRepliesInOneSend", { Send("223 1 <a@b>\r\n223 2 <c@d>\r\n") },
            { "223 1 <a@b>", "223 2 <c@d>" } },
        ReplyCase { "LongLine", { Send("200 " + std::string(5000, 'x') + "\r\n211 next\r\n") },
            { "200 " + std::string(5000, 'x'), "211 next" } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, PeerClosingMidLineGivesEmptyReplyWithoutCheck)
{
    ScriptServer server({ Send("200 par"), CloseConnection() });
    OpenTo(server);
    EXPECT_EQ(ReadReply(), "");
    EXPECT_TRUE(client.checked.empty());
    EXPECT_FALSE(client.Connected());
}

TEST_F(SocketTest, ErrorReplyRaisesAfterLoggingAndNotifying)
{
    ScriptServer server({ Send("502 access denied\r\n") });
    OpenTo(server);
    client.LogFileName = "unused.log";
    Strings received;
    client.OnLineReceived = [&](TObject*, const std::string& line) { received.push_back(line); };
    EXPECT_THROW(ReadReply(), ESocketError);
    EXPECT_EQ(received, Strings { "502 access denied" });
    EXPECT_EQ(client.Log.Text(), "502 access denied\r\n");
    client.LogFileName.clear();
}

struct BlockCase {
    const char* name;
    std::vector<Step> script;
    std::string block;
};

class BlockTest : public SocketTest, public ::testing::WithParamInterface<BlockCase> { };

TEST_P(BlockTest, StoresTheBlockWithoutTerminatorOrStuffing)
{
    std::vector<Step> script = GetParam().script;
    script.push_back(Send("205 after\r\n"));
    ScriptServer server(script);
    OpenTo(server);
    client.TimeOut = 2;
    EXPECT_EQ(ReadBlock(), GetParam().block);
    // Bytes after the terminator belong to the next reply.
    EXPECT_EQ(ReadReply(), "205 after");
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlockTest,
    ::testing::Values(
        BlockCase { "Plain", { Send("Subject: x\r\n\r\nbody\r\n.\r\n") }, "Subject: x\r\n\r\nbody\r\n" },
        BlockCase { "Empty", { Send(".\r\n") }, "" },
        BlockCase { "DotStuffed", { Send("..\r\n...\r\n..M86XX\r\n.\r\n") }, ".\r\n..\r\n.M86XX\r\n" },
        BlockCase { "TerminatorSplitAfterDot", { Send("abc\r\n."), Pause(50), Send("\r\n") }, "abc\r\n" },
        BlockCase { "TerminatorSplitInsideCrLf", { Send("abc\r"), Pause(50), Send("\n.\r\n") }, "abc\r\n" },
        BlockCase { "DotLineSplitFromStuffing", { Send("abc\r\n."), Pause(50), Send(".x\r\n.\r\n") },
            "abc\r\n.x\r\n" },
        BlockCase { "ZeroByteBecomesSpace", { Send(std::string("a\0b\r\n.\r\n", 8)) }, "a b\r\n" },
        BlockCase { "TerminatorLookalikeInsideLine", { Send("a.\r\n.b\r\n.\r\n") }, "a.\r\nb\r\n" },
        // Each chunk restarts the 2 s time-out.
        BlockCase { "SlowChunks",
            { Send("a\r\n"), Pause(700), Send("b\r\n"), Pause(700), Send("c\r\n"), Pause(700),
                Send(".\r\n") },
            "a\r\nb\r\nc\r\n" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, LargeBlockArrivesWholeWithProgress)
{
    std::string body;
    for (int i = 0; i < 20000; ++i)
        body += "M" + std::string(60, char('A' + i % 26)) + std::to_string(i) + "\r\n";
    ScriptServer server({ Send(body.substr(0, 300000)), Pause(20), Send(body.substr(300000) + ".\r\n") });
    OpenTo(server);
    RecordProgress();
    EXPECT_EQ(ReadBlock(20000), body);
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    // 20000 lines estimated at 76 bytes; the block holds about 67 per line.
    EXPECT_EQ(progress.back(), int(std::lround(body.size() * 100.0 / (20000 * 76.0))));
}

TEST_F(SocketTest, BlockArrivingWithItsReplyStillReportsProgress)
{
    ScriptServer server({ Send("220 article follows\r\none\r\ntwo\r\n.\r\n") });
    OpenTo(server);
    ReadReply();
    RecordProgress();
    EXPECT_EQ(ReadBlock(2), "one\r\ntwo\r\n");
    EXPECT_EQ(progress, std::vector<int> { int(std::lround(10 * 100.0 / (2 * 76.0))) });
}

// Estimated at two lines, the block holds ten: the progress stops at 100%.
TEST_F(SocketTest, BlockLongerThanItsEstimateStopsAtAHundredPercent)
{
    std::string body;
    for (int i = 0; i < 10; ++i)
        body += std::string(70, 'x') + "\r\n";
    ScriptServer server({ Send(body.substr(0, 200)), Pause(20), Send(body.substr(200) + ".\r\n") });
    OpenTo(server);
    RecordProgress();
    EXPECT_EQ(ReadBlock(2), body);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(*std::max_element(progress.begin(), progress.end()), 100);
    EXPECT_EQ(progress.back(), 100);
}

TEST_F(SocketTest, PeerClosingMidBlockIsAnError)
{
    ScriptServer server({ Send("line one\r\nline tw"), CloseConnection() });
    OpenTo(server);
    ExpectRaises<ESocketError>([&] { ReadBlock(); }, "[10054] Connection reset by peer");
    EXPECT_FALSE(client.Connected());
}

TEST_F(SocketTest, EndlessReplyLineEndsAtTheLimit)
{
    ScriptServer server({ Send("200 "), SendForever(std::string(4096, 'x')) });
    OpenTo(server);
    ExpectRaises<ESocketError>([&] { ReadReply(); }, "Reply line longer than 65536 bytes");
    EXPECT_EQ(errors, Strings { "Reply line longer than 65536 bytes" });
    EXPECT_TRUE(client.checked.empty());
    EXPECT_FALSE(client.Connected());
}

struct BlockLimitCase {
    const char* name;
    std::vector<Step> script;
    int64_t maxSize;
    bool fits;
};

class BlockLimitTest : public SocketTest, public ::testing::WithParamInterface<BlockLimitCase> { };

// The limit counts the block as stored, and what is held while it arrives.
TEST_P(BlockLimitTest, BlockBeyondTheLimitFailsAndClosesTheConnection)
{
    const BlockLimitCase& c = GetParam();
    ScriptServer server(c.script);
    OpenTo(server);
    TMemoryStream stream;
    const std::string text = Format("Data block larger than %lld bytes", static_cast<long long>(c.maxSize));
    if (c.fits) {
        EXPECT_NO_THROW(client.ReadMultiLine(stream, -1, c.maxSize));
        EXPECT_EQ(stream.Size(), c.maxSize);
        return;
    }
    ExpectRaises<ESocketError>([&] { client.ReadMultiLine(stream, -1, c.maxSize); }, text);
    EXPECT_EQ(errors, Strings { text });
    EXPECT_FALSE(client.Connected());
    // What piled up is one receive beyond the limit at most.
    EXPECT_LE(stream.Size(), c.maxSize + 16384);
}

const std::string kHundredLines = Repeat(std::string(98, 'a') + "\r\n", 100);

INSTANTIATE_TEST_SUITE_P(Blocks, BlockLimitTest,
    ::testing::Values(BlockLimitCase { "AtTheLimit", { Send(kHundredLines + ".\r\n") }, 10000, true },
        BlockLimitCase { "StuffingDotsDoNotCount", { Send(".." + kHundredLines + ".\r\n") }, 10001, true },
        BlockLimitCase { "OneByteOver", { Send(kHundredLines + ".\r\n") }, 9999, false },
        BlockLimitCase { "EndlessLines", { SendForever(kHundredLines) }, 65536, false },
        BlockLimitCase {
            "EndlessLineWithoutEnd", { Send("a\r\n"), SendForever(std::string(4096, 'x')) }, 65536, false }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, SilenceTimesOutWithoutSpinningAndKeepsItsText)
{
    ScriptServer server({});
    OpenTo(server);
    client.TimeOut = 1;
    // The handler sees the text but cannot change a time-out's.
    client.OnError = [this](TObject*, std::string& msg) {
        errors.push_back(msg);
        msg = "changed";
    };
    const double cpuBefore = ThreadCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    ExpectRaises<ETimedOutError>([&] { ReadReply(); }, "Operation timed out");
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    EXPECT_GE(wall, 0.5);
    EXPECT_LT(ThreadCpuSeconds() - cpuBefore, 0.1 * wall) << "the wait must sleep, not spin";
    EXPECT_EQ(errors, Strings { "Operation timed out" });
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(client.TimedOut());
}

TEST_F(SocketTest, CancelFromATimerEndsTheWait)
{
    ScriptServer server({});
    OpenTo(server);
    int cancelEvents = 0;
    client.OnCancel = [&](TObject*) { ++cancelEvents; };
    QTimer::singleShot(100, [this] { client.Cancel(); });
    EXPECT_THROW(ReadBlock(), ECanceledError);
    EXPECT_EQ(cancelEvents, 1);
    EXPECT_EQ(errors, Strings { "Operation has been canceled" });
    EXPECT_FALSE(client.Connected());
    // Sticky until ResetState: the next operation needs a new connection.
    EXPECT_TRUE(client.Canceled());
    client.ResetState();
    EXPECT_FALSE(client.Canceled());
}

// A loopback listener that never accepts and has a small receive buffer: the
// kernel completes the handshake, and a client's sends soon find no room.
class UnreadListener {
public:
    UnreadListener()
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 1) != 0
            || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("unread listener: cannot listen");
        port_ = ntohs(address.sin_port);
    }
    ~UnreadListener() { ::close(fd_); }
    UnreadListener(const UnreadListener&) = delete;
    UnreadListener& operator=(const UnreadListener&) = delete;

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port_ = 0;
};

TEST_F(SocketTest, CancelWhileASendWaitsForRoomIsACancellation)
{
    UnreadListener listener;
    client.Server = listener.Address();
    client.Open();
    client.ConnectSocket();
    QObject timers;
    QTimer::singleShot(100, &timers, [this] { client.Cancel(); });
    ExpectRaises<ECanceledError>(
        [&] { client.SendLine(std::string(16 << 20, 'x')); }, "Operation has been canceled");
    EXPECT_EQ(errors, Strings { "Operation has been canceled" });
    EXPECT_FALSE(client.Connected());
}

TEST_F(SocketTest, RefusedConnectionIsReportedAndNotConnected)
{
    client.Server = "127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort());
    ExpectRaises<ESocketError>([&] { client.Connect(); }, "[10061] Connection refused");
    EXPECT_EQ(errors, Strings { "[10061] Connection refused" });
    EXPECT_FALSE(client.Connected()) << "a refused connection must not pass for an open one";
}

TEST_F(SocketTest, ErrorsBeforeConnecting)
{
    client.Server = "127.0.0.1";
    ExpectRaises<ESocketError>([&] { client.Open(); }, "Service name is required");

    std::string reply;
    TMemoryStream stream;
    errors.clear();
    EXPECT_THROW(client.ReadReply(reply), ESocketError);
    EXPECT_THROW(client.SendLine("LIST"), ESocketError);
    EXPECT_THROW(client.ReadMultiLine(stream, -1), ESocketError);
    EXPECT_EQ(errors, Strings(3, "You have to connect to the server first"));

    client.Server.clear();
    client.OnError = [](TObject*, std::string& msg) { msg = "No server: " + msg; };
    ExpectRaises<ESocketError>([&] { client.Open(); }, "No server: Server property is required");
}

TEST_F(SocketTest, HostNameIsLookedUpAndDottedAddressIsNot)
{
    ScriptServer server({ Send("200 hi\r\n") });
    Strings asked;
    Winsock().SetHostResolver([&](const std::string& name) {
        asked.push_back(name);
        return name == "news.example" ? THostLookup { 0, Winsock().inet_addr("127.0.0.1") }
                                      : THostLookup { WSAHOST_NOT_FOUND, 0 };
    });
    client.Server = "news.nowhere.invalid:119";
    ExpectRaises<ESocketError>([&] { client.Open(); }, "[11001] Host not found");

    client.Server = "news.example:" + std::to_string(server.Port());
    client.Connect();
    EXPECT_EQ(client.RemoteAddress(), "127.0.0.1");
    EXPECT_EQ(client.checked, Strings { "200 hi" });
    client.Close();

    client.Server = server.Address();
    client.Open();
    EXPECT_EQ(client.RemoteAddress(), "");
    EXPECT_EQ(client.RemoteAddr(), Winsock().inet_addr("127.0.0.1"));
    EXPECT_EQ(asked, (Strings { "news.nowhere.invalid", "news.example" }));
}

TEST_F(SocketTest, SlowLookupCanBeCanceledAndTimesOut)
{
    Winsock().SetHostResolver([](const std::string&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return THostLookup { 0, 0x0100007F };
    });
    client.Server = "slow.example";
    client.ServiceName = "nntp";
    QTimer::singleShot(100, [this] { client.Cancel(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Open(), ECanceledError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));

    client.ResetState();
    client.TimeOut = 1;
    EXPECT_THROW(client.Open(), ETimedOutError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2400));
}

TEST(ServerProperty, SplitsHostAndPort)
{
    struct Case {
        const char* server;
        const char* host;
        int port;
    };
    const Case cases[] = { { "news.example", "news.example", 0 }, { "news.example:119", "news.example", 119 },
        { "news.example:nntp", "news.example", 0 }, { "news.example:", "news.example", 0 },
        { "news.example:70000", "news.example", 0 }, { "news.example:-5", "news.example", 0 },
        { "10.0.0.1:563:x", "10.0.0.1", 0 }, { "[::1]:563", "::1", 563 }, { "[::1]", "::1", 0 },
        { "[2001:db8::7]:119", "2001:db8::7", 119 }, { "[::1]:", "::1", 0 }, { "[::1]:nntp", "::1", 0 },
        { "[::1]563", "::1", 0 }, { "::1", "::1", 0 }, { "2001:db8::7", "2001:db8::7", 0 },
        { "[news.example]:119", "news.example", 119 }, { "[::1", "[", 0 } };
    TestClient client;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        client.Server = c.server;
        EXPECT_EQ(client.ServerHost(), c.host);
        EXPECT_EQ(client.ServerPort(), c.port);
    }
}

// A host resolver that answers every name with these addresses, in order.
THostResolver ResolveTo(std::vector<std::string> literals)
{
    return [literals = std::move(literals)](const std::string&) {
        THostLookup found;
        for (const std::string& literal : literals)
            found.addresses.push_back(*TSocketAddress::FromLiteral(literal));
        return found;
    };
}

TEST_F(SocketTest, ConnectsToAnIPv6LiteralAndToANameOfOne)
{
    if (!testing::HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    ScriptServer server([](const std::string&) { return std::string("205 bye\r\n"); }, "200 hi over IPv6\r\n",
        ScriptServer::PlainChannel, "::1");
    client.Server = server.Address();
    ASSERT_EQ(client.Server, "[::1]:" + std::to_string(server.Port()));
    client.Connect();
    EXPECT_EQ(client.checked, Strings { "200 hi over IPv6" });
    EXPECT_EQ(client.RemoteAddress(), "") << "no name was looked up";
    EXPECT_EQ(client.RemoteAddr(), 0u) << "no IPv4 address";
    client.Disconnect();

    Winsock().SetHostResolver(ResolveTo({ "::1" }));
    client.Server = "news.example:" + std::to_string(server.Port());
    client.Connect();
    EXPECT_EQ(client.RemoteAddress(), "::1");
    client.Disconnect();
    EXPECT_EQ(server.Lines(), Strings(2, "QUIT"));
    EXPECT_TRUE(errors.empty());
}

struct FallbackCase {
    const char* name;
    // Where the server listens, and the addresses the name resolves to.
    const char* listening;
    std::vector<std::string> resolved;
    bool needsIPv6;
};

class AddressFallbackTest : public SocketTest, public ::testing::WithParamInterface<FallbackCase> { };

// Only the last address listens: every refusal before it is passed over
// quietly, and RemoteAddress names the one that answered.
TEST_P(AddressFallbackTest, TriesEachAddressUntilOneAccepts)
{
    if (GetParam().needsIPv6 && !testing::HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    ScriptServer server([](const std::string&) { return std::string("205 bye\r\n"); }, "200 hi\r\n",
        ScriptServer::PlainChannel, GetParam().listening);
    Winsock().SetHostResolver(ResolveTo(GetParam().resolved));
    client.Server = "news.example:" + std::to_string(server.Port());
    client.Connect();
    EXPECT_EQ(client.checked, Strings { "200 hi" });
    EXPECT_EQ(client.RemoteAddress(), GetParam().listening);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(server.Accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(Addresses, AddressFallbackTest,
    ::testing::Values(FallbackCase { "FirstAccepts", "127.0.0.1", { "127.0.0.1", "127.0.0.2" }, false },
        FallbackCase { "SecondIPv4", "127.0.0.1", { "127.0.0.2", "127.0.0.1" }, false },
        FallbackCase { "IPv6RefusesThenIPv4", "127.0.0.1", { "::1", "127.0.0.1" }, true },
        FallbackCase { "IPv4RefusesThenIPv6", "::1", { "127.0.0.2", "127.0.0.3", "::1" }, true }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, WhenEveryAddressRefusesTheLastRefusalIsReportedOnce)
{
    Winsock().SetHostResolver(ResolveTo({ "127.0.0.2", "127.0.0.3" }));
    client.Server = "news.example:" + std::to_string(testing::UnusedLoopbackPort());
    ExpectRaises<ESocketError>([&] { client.Connect(); }, "[10061] Connection refused");
    EXPECT_EQ(errors, Strings { "[10061] Connection refused" });
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.RemoteAddress(), "127.0.0.3");
}

// Listens on address:port but never accepts, and its one-place queue is
// taken: a connect to it waits unanswered, like one to a dead host.
class SilentListener {
public:
    SilentListener(const char* address, uint16_t port)
    {
        sockaddr_in where {};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &where.sin_addr);
        const auto* target = reinterpret_cast<const sockaddr*>(&where);
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::bind(listener_, target, sizeof where) != 0 || ::listen(listener_, 0) != 0
            || ::connect(filler_, target, sizeof where) != 0)
            throw std::runtime_error("silent listener: cannot listen");
    }
    ~SilentListener()
    {
        ::close(filler_);
        ::close(listener_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

private:
    int listener_ = -1;
    int filler_ = -1;
};

// A silent address spends the time-out of the whole attempt; Cancel ends it
// at once. Either way the good address after it is never reached.
TEST_F(SocketTest, SilentAddressEndsTheAttemptByTimeOutOrCancel)
{
    ScriptServer server({ Send("200 hi\r\n") });
    SilentListener silent("127.0.0.4", server.Port());
    Winsock().SetHostResolver(ResolveTo({ "127.0.0.4", "127.0.0.1" }));
    client.Server = "news.example:" + std::to_string(server.Port());

    QTimer::singleShot(100, [this] { client.Cancel(); });
    auto start = std::chrono::steady_clock::now();
    ExpectRaises<ECanceledError>([&] { client.Connect(); }, "Operation has been canceled");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_FALSE(client.Connected());

    client.ResetState();
    client.TimeOut = 1;
    start = std::chrono::steady_clock::now();
    ExpectRaises<ETimedOutError>([&] { client.Connect(); }, "Operation timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(errors, (Strings { "Operation has been canceled", "Operation timed out" }));
    EXPECT_EQ(server.Accepted(), 0);
}

class ServiceTest : public SocketTest {
protected:
    ScriptServer server { { Send("200 hi\r\n") } };

    // A port that is not a number is looked up as the service.
    void ConnectByServiceName()
    {
        client.Server = "127.0.0.1:letters";
        client.ServiceName = "nntp";
        client.DefaultPort = server.Port();
        client.Connect();
        EXPECT_EQ(client.Port(), server.Port());
        EXPECT_EQ(client.checked, Strings { "200 hi" });
    }
};

TEST_F(ServiceTest, PortFromServiceLookupOrDefault)
{
    Strings asked;
    Winsock().SetServiceResolver([&](const std::string& name, const std::string& protocol) {
        asked.push_back(name + "/" + protocol);
        return TServiceLookup { WSANO_DATA, 0 };
    });
    ConnectByServiceName();
    EXPECT_EQ(asked, Strings { "nntp/tcp" });

    Winsock().SetServiceResolver([](const std::string&, const std::string&) {
        return TServiceLookup { 0, 4119 };
    });
    client.Close();
    client.Open();
    EXPECT_EQ(client.Port(), 4119);
}

TEST_F(ServiceTest, TimedOutServiceLookupFallsBackAndStillConnects)
{
    Winsock().SetServiceResolver([](const std::string&, const std::string&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return TServiceLookup { 0, 1 };
    });
    client.TimeOut = 1;
    ConnectByServiceName();
}

TEST_F(SocketTest, SessionSendsLinesAndLogsTheDialogue)
{
    const std::string logFile = std::string(LUMIGRAB_BINARY_DIR) + "/ktsocket_test_session.log";
    std::remove(logFile.c_str());
    ScriptServer server({ Send("200 ready\r\n"), ReadLine(), Send("211 3 1 3 alt.test\r\n"), ReadLine(),
        Send("205 bye\r\n") });
    Strings events;
    {
        TestClient session;
        session.SetWinsockLoaded(true);
        session.TimeOut = 5;
        session.Server = server.Address();
        session.LogFileName = logFile;
        session.OnOpen = [&](TObject*) { events.push_back("open"); };
        session.OnConnected = [&](TObject*) { events.push_back("connected"); };
        session.OnLineSent = [&](TObject*, const std::string& line) { events.push_back("sent " + line); };
        session.OnClosing = [&](TObject*) { events.push_back("closing"); };
        session.OnClosed = [&](TObject*) { events.push_back("closed"); };
        session.Connect();
        session.Connect();
        session.SendLine("GROUP alt.test");
        std::string reply;
        session.ReadReply(reply);
        session.Disconnect();
        session.Disconnect();
        EXPECT_FALSE(session.Connected());
    }
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_EQ(server.Lines(), (Strings { "GROUP alt.test", "QUIT" }));
    EXPECT_EQ(
        events, (Strings { "open", "connected", "sent GROUP alt.test", "sent QUIT", "closing", "closed" }));
    TStringList log;
    log.LoadFromFile(logFile);
    EXPECT_EQ(log.Text(), "200 ready\r\nGROUP alt.test\r\n211 3 1 3 alt.test\r\nQUIT\r\n205 bye\r\n");
    std::remove(logFile.c_str());
}

TEST_F(SocketTest, RejectedGreetingLeavesNoConnection)
{
    ScriptServer server({ Send("502 go away\r\n") });
    client.Server = server.Address();
    EXPECT_THROW(client.Connect(), ESocketError);
    EXPECT_EQ(errors, Strings { "502 go away" });
    EXPECT_FALSE(client.Connected()) << "the next Connect must try again";
}

// The binding is the program's: a component made while another works (a
// pool's connection on another thread) must not stop it.
TEST_F(SocketTest, ANewComponentLeavesTheBindingLoaded)
{
    ScriptServer server({ ReadLine() });
    OpenTo(server);
    {
        TestClient other;
    }
    EXPECT_NO_THROW(client.SendLine("HELP"));
}

TEST_F(SocketTest, UnloadedBindingStopsSocketCalls)
{
    ScriptServer server({});
    OpenTo(server);
    client.SetWinsockLoaded(false);
    ExpectRaises<EWinsockDLLError>([&] { client.SendLine("HELP"); }, "Winsock is not loaded");
    client.SetWinsockLoaded(true);
}

} // namespace
} // namespace lumigrab
