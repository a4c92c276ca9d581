#include "transport/ktwsock.h"

#include <netdb.h>

#include <cerrno>

#include "transport/ktConst.h"

#include "script_server.h"

namespace lumigrab {
namespace {

class BindingTest : public ::testing::Test {
protected:
    void TearDown() override { Winsock().Load(); }
};

TEST_F(BindingTest, LoadsOnceAndUnloadsIdempotently)
{
    TktWinsock binding;
    EXPECT_FALSE(binding.IsLoaded());
    binding.Load();
    binding.Load();
    EXPECT_TRUE(binding.IsLoaded());
    binding.Unload();
    binding.Unload();
    EXPECT_FALSE(binding.IsLoaded());
}

TEST_F(BindingTest, EveryCallWhileUnloadedRaises)
{
    TktWinsock binding;
    std::string name;
    char buffer[4];
    const std::vector<std::function<void()>> calls = {
        [&] { binding.socket(AF_INET, SOCK_STREAM, 0); },
        [&] { binding.closesocket(-1); },
        [&] { binding.connect(-1, sockaddr_in {}); },
        [&] { binding.Htons(119); },
        [&] { binding.recv(-1, buffer, sizeof buffer); },
        [&] { binding.send(-1, buffer, sizeof buffer); },
        [&] { binding.gethostname(name); },
        [&] { binding.WSAStartup(0x0101); },
        [&] { binding.WSACleanup(); },
        [&] { binding.WSAGetLastError(); },
        [&] { binding.LookupHost("localhost"); },
        [&] { binding.LookupService("nntp", "tcp"); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        try {
            calls[i]();
            ADD_FAILURE() << "call " << i << " went through an unloaded binding";
        } catch (const EWinsockDLLError& e) {
            EXPECT_STREQ(e.what(), "Winsock is not loaded") << "call " << i;
        }
    }
}

TEST_F(BindingTest, ResolveNamesMissingFunctions)
{
    TktWinsock binding;
    binding.Load();
    EXPECT_NO_THROW(binding.Resolve("WSAAsyncSelect"));
    try {
        binding.Resolve("WSARecvEx");
        FAIL();
    } catch (const EWinsockDLLError& e) {
        EXPECT_STREQ(e.what(), "Function WSARecvEx not found");
    }
}

TEST_F(BindingTest, InetAddrWorksUnloadedAndRejectsNames)
{
    TktWinsock binding;
    EXPECT_EQ(binding.inet_addr("10.1.2.3"), htonl(0x0A010203));
    EXPECT_EQ(binding.inet_addr("news.example"), INADDR_NONE);
    EXPECT_EQ(binding.inet_addr(""), INADDR_NONE);
}

TEST_F(BindingTest, StartupAcceptsOnlyVersionOneOne)
{
    TktWinsock binding;
    binding.Load();
    EXPECT_EQ(binding.WSAStartup(0x0101), 0);
    EXPECT_EQ(binding.WSAStartup(0x0202), WSAVERNOTSUPPORTED);
}

TEST_F(BindingTest, FailedCallLeavesItsWinsockCode)
{
    TktWinsock binding;
    binding.Load();
    char buffer[4];
    EXPECT_EQ(binding.recv(-1, buffer, sizeof buffer), SOCKET_ERROR);
    EXPECT_EQ(binding.WSAGetLastError(), WSAEBADF);
}

TEST_F(BindingTest, PacksErrorAndEventHalves)
{
    EXPECT_EQ(TktWinsock::ErrorOf(0x274D0010), 10061);
    EXPECT_EQ(TktWinsock::EventOf(0x274D0010), 16);
}

struct ErrnoCase {
    int posix;
    int winsock;
    const char* text;
};

class ErrnoMappingTest : public ::testing::TestWithParam<ErrnoCase> { };

TEST_P(ErrnoMappingTest, ShowsTheWinsockText)
{
    int code = WinsockErrorFromErrno(GetParam().posix);
    EXPECT_EQ(code, GetParam().winsock);
    EXPECT_EQ(SocketErrorText(code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Errno, ErrnoMappingTest,
    ::testing::Values(ErrnoCase { ECONNREFUSED, 10061, "[10061] Connection refused" },
        ErrnoCase { ETIMEDOUT, 10060, "[10060] Connection timed out" },
        ErrnoCase { ECONNRESET, 10054, "[10054] Connection reset by peer" },
        ErrnoCase { EPIPE, 10054, "[10054] Connection reset by peer" },
        ErrnoCase { EHOSTUNREACH, 10065, "[10065] No Route to Host" },
        ErrnoCase { ENETUNREACH, 10051, "[10051] Network is unreachable" },
        ErrnoCase { EADDRINUSE, 10048, "[10048] Address already in use" },
        ErrnoCase { EAGAIN, 10035, "[10035] Resource temporarily not available" },
        ErrnoCase { EINPROGRESS, 10035, "[10035] Resource temporarily not available" },
        ErrnoCase { EMFILE, 10024, "[10024] Too many open files" },
        ErrnoCase { ENOTCONN, 10057, "[10057] Socket is not connected" },
        ErrnoCase { ENOTSOCK, 10038, "[10038] Socket operation on non-socket" }));

TEST(LookupErrorMapping, ResolverResultsBecomeHostTexts)
{
    EXPECT_EQ(SocketErrorText(WinsockErrorFromGai(EAI_NONAME)), "[11001] Host not found");
    EXPECT_EQ(SocketErrorText(WinsockErrorFromGai(EAI_AGAIN)), "[11002] Non-Authoritative Host not found");
    EXPECT_EQ(SocketErrorText(WinsockErrorFromGai(EAI_FAIL)),
        "[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP");
    EXPECT_EQ(SocketErrorText(WinsockErrorFromGai(EAI_NODATA)),
        "[11004] Valid name, no data record of requested type");
    EXPECT_EQ(WinsockErrorFromGai(0), 0);
}

TEST(MessageTable, TextsAndFallback)
{
    EXPECT_EQ(LoadResString(SOperationTimedOut), "Operation timed out");
    EXPECT_EQ(LoadResString(SNotConnected), "You have to connect to the server first");
    EXPECT_EQ(LoadResString(SWinsockNotFound), "Winsock not found");
    EXPECT_EQ(LoadResString(57006), "");
    EXPECT_EQ(SocketErrorText(10013), "[10013] Permission denied.");
    EXPECT_EQ(SocketErrorText(12345), "Error #12345");
    EXPECT_EQ(SocketErrorText(10000), "Error #10000");
}

TEST(SystemLookup, ResolvesLocalNamesWithoutTheNetwork)
{
    TktWinsock binding;
    binding.Load();
    // Both come from local files (/etc/hosts, /etc/services).
    THostLookup host = binding.LookupHost("localhost");
    EXPECT_EQ(host.error, 0);
    EXPECT_EQ(host.address, htonl(INADDR_LOOPBACK));
    TServiceLookup nntp = binding.LookupService("nntp", "tcp");
    EXPECT_EQ(nntp.error, 0);
    EXPECT_EQ(nntp.port, 119);
    TServiceLookup missing = binding.LookupService("no-such-service-here", "tcp");
    EXPECT_EQ(missing.error, WSANO_DATA);
}

} // namespace
} // namespace lumigrab
