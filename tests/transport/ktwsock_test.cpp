#include "transport/ktwsock.h"

#include <netdb.h>

#include <cerrno>

#include "tests/support/script_server.h"
#include "transport/ktConst.h"

namespace lumigrab {
namespace {

class BindingTest : public ::testing::Test {
protected:
    TktWinsock binding;
};

TEST_F(BindingTest, LoadsOnceAndUnloadsIdempotently)
{
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
        SCOPED_TRACE(i);
        ExpectRaises<EWinsockDLLError>(calls[i], "Winsock is not loaded");
    }
}

TEST_F(BindingTest, LoadedCallsAndTheirErrors)
{
    // inet_addr needs no loading.
    EXPECT_EQ(binding.inet_addr("10.1.2.3"), htonl(0x0A010203));
    EXPECT_EQ(binding.inet_addr("news.example"), INADDR_NONE);
    EXPECT_EQ(binding.inet_addr(""), INADDR_NONE);

    binding.Load();
    EXPECT_NO_THROW(binding.Resolve("WSAAsyncSelect"));
    ExpectRaises<EWinsockDLLError>([&] { binding.Resolve("WSARecvEx"); }, "Function WSARecvEx not found");
    EXPECT_EQ(binding.WSAStartup(0x0101), 0);
    EXPECT_EQ(binding.WSAStartup(0x0202), WSAVERNOTSUPPORTED);
    char buffer[4];
    EXPECT_EQ(binding.recv(-1, buffer, sizeof buffer), SOCKET_ERROR);
    EXPECT_EQ(binding.WSAGetLastError(), WSAEBADF);
    EXPECT_EQ(TktWinsock::ErrorOf(0x274D0010), 10061);
    EXPECT_EQ(TktWinsock::EventOf(0x274D0010), 16);
}

TEST(ErrorMapping, SystemErrorsShowTheWinsockText)
{
    struct Case {
        int code;
        const char* text;
    };
    const Case errnoCases[] = { { ECONNREFUSED, "[10061] Connection refused" },
        { ETIMEDOUT, "[10060] Connection timed out" }, { ECONNRESET, "[10054] Connection reset by peer" },
        { EPIPE, "[10054] Connection reset by peer" }, { EHOSTUNREACH, "[10065] No Route to Host" },
        { ENETUNREACH, "[10051] Network is unreachable" }, { EADDRINUSE, "[10048] Address already in use" },
        { EAGAIN, "[10035] Resource temporarily not available" },
        { EINPROGRESS, "[10035] Resource temporarily not available" },
        { EMFILE, "[10024] Too many open files" }, { ENOTCONN, "[10057] Socket is not connected" },
        { ENOTSOCK, "[10038] Socket operation on non-socket" } };
    for (const Case& c : errnoCases)
        EXPECT_EQ(SocketErrorText(WinsockErrorFromErrno(c.code)), c.text) << "errno " << c.code;

    const Case resolverCases[] = { { EAI_NONAME, "[11001] Host not found" },
        { EAI_AGAIN, "[11002] Non-Authoritative Host not found" },
        { EAI_FAIL, "[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP" },
        { EAI_NODATA, "[11004] Valid name, no data record of requested type" } };
    for (const Case& c : resolverCases)
        EXPECT_EQ(SocketErrorText(WinsockErrorFromGai(c.code)), c.text) << "resolver result " << c.code;
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

TEST_F(BindingTest, SystemLookupResolvesLocalNamesWithoutTheNetwork)
{
    binding.Load();
    // Both come from local files (/etc/hosts, /etc/services). Where the
    // hosts file names localhost ::1 too, the system may list that first
    // (RFC 6724): either loopback address is right, and 127.0.0.1 is there.
    const THostLookup host = binding.LookupHost("localhost");
    EXPECT_EQ(host.error, 0);
    EXPECT_EQ(host.address, htonl(INADDR_LOOPBACK));
    ASSERT_FALSE(host.addresses.empty());
    bool ipv4Loopback = false;
    for (const TSocketAddress& address : host.addresses) {
        EXPECT_TRUE(address.Text() == "127.0.0.1" || address.Text() == "::1") << address.Text();
        ipv4Loopback = ipv4Loopback || address.Text() == "127.0.0.1";
    }
    EXPECT_TRUE(ipv4Loopback);
    // An IPv6 address has no IPv4 form; every address is tried in turn.
    const THostLookup ipv6 = binding.LookupHost("::1");
    EXPECT_EQ(ipv6.error, 0);
    EXPECT_EQ(ipv6.address, 0u);
    ASSERT_EQ(ipv6.addresses.size(), 1u);
    EXPECT_EQ(ipv6.addresses.front().Family(), AF_INET6);
    EXPECT_EQ(ipv6.addresses.front().Text(), "::1");
    const TServiceLookup nntp = binding.LookupService("nntp", "tcp");
    EXPECT_EQ(nntp.error, 0);
    EXPECT_EQ(nntp.port, 119);
    EXPECT_EQ(binding.LookupService("no-such-service-here", "tcp").error, WSANO_DATA);
}

} // namespace
} // namespace lumigrab
