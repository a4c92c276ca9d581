#include "transport/ktwsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transport/ktConst.h"

namespace lumigrab {

namespace {

// The last failure of a socket call on this thread, as a Winsock number.
thread_local int lastError = 0;

constexpr std::string_view kFunctions[] = {
    "closesocket",
    "connect",
    "htons",
    "inet_addr",
    "recv",
    "send",
    "socket",
    "gethostname",
    "WSAStartup",
    "WSACleanup",
    "WSAGetLastError",
    "WSAIsBlocking",
    "WSACancelBlockingCall",
    "WSAAsyncGetServByName",
    "WSAAsyncGetHostByName",
    "WSACancelAsyncRequest",
    "WSAAsyncSelect",
};

// Every address of the name, IPv4 and IPv6, in the order the system
// prefers them (RFC 6724); the caller tries one after the other.
THostLookup SystemHostLookup(const std::string& name)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (status != 0)
        return { WinsockErrorFromGai(status), 0, {} };
    THostLookup lookup;
    for (addrinfo* entry = result; entry; entry = entry->ai_next) {
        const auto address = TSocketAddress::FromSockaddr(entry->ai_addr, entry->ai_addrlen);
        if (!address
            || std::find(lookup.addresses.begin(), lookup.addresses.end(), *address)
                != lookup.addresses.end())
            continue;
        if (address->IsIPv4() && lookup.address == 0)
            lookup.address = address->IPv4();
        lookup.addresses.push_back(*address);
    }
    ::freeaddrinfo(result);
    if (lookup.addresses.empty())
        lookup.error = WSANO_DATA;
    return lookup;
}

TServiceLookup SystemServiceLookup(const std::string& name, const std::string& protocol)
{
    servent entry {};
    servent* found = nullptr;
    char buffer[1024];
    ::getservbyname_r(name.c_str(), protocol.c_str(), &entry, buffer, sizeof buffer, &found);
    if (!found)
        return { WSANO_DATA, 0 };
    return { 0, ntohs(uint16_t(found->s_port)) };
}

} // namespace

int WinsockErrorFromErrno(int errnoValue)
{
    switch (errnoValue) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEWOULDBLOCK;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return errnoValue;
    }
}

int WinsockErrorFromGai(int gaiValue)
{
    switch (gaiValue) {
    case 0:
        return 0;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return WinsockErrorFromErrno(errno);
    default:
        return WSANO_RECOVERY;
    }
}

void TktWinsock::Load()
{
    // The POSIX socket service is linked in; loading cannot fail.
    loaded_ = true;
}

void TktWinsock::Unload()
{
    loaded_ = false;
}

void TktWinsock::Resolve(std::string_view name) const
{
    if (!loaded_)
        throw EWinsockDLLError(LoadResString(SWinsockNotLoaded));
    for (std::string_view known : kFunctions) {
        if (known == name)
            return;
    }
    throw EWinsockDLLError(Format(LoadResString(SFunctionNotFound).c_str(), std::string(name).c_str()));
}

int TktWinsock::Fail(int code)
{
    lastError = code;
    return SOCKET_ERROR;
}

int TktWinsock::FailFromErrno()
{
    return Fail(WinsockErrorFromErrno(errno));
}

int TktWinsock::closesocket(TSocket s)
{
    Resolve("closesocket");
    return ::close(s) == 0 ? 0 : FailFromErrno();
}

int TktWinsock::connect(TSocket s, const sockaddr_in& address)
{
    Resolve("connect");
    int result;
    do {
        result = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : FailFromErrno();
}

int TktWinsock::connect(TSocket s, const TSocketAddress& address)
{
    Resolve("connect");
    int result;
    do {
        result = ::connect(s, address.Data(), address.Length());
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : FailFromErrno();
}

uint16_t TktWinsock::Htons(uint16_t value)
{
    Resolve("htons");
    return htons(value);
}

uint32_t TktWinsock::inet_addr(std::string_view text)
{
    // Usable before loading, like the platform's own.
    in_addr address {};
    if (!::inet_aton(std::string(text).c_str(), &address))
        return INADDR_NONE;
    return address.s_addr;
}

long TktWinsock::recv(TSocket s, char* buffer, size_t length)
{
    Resolve("recv");
    ssize_t received;
    do {
        received = ::recv(s, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    return received >= 0 ? long(received) : FailFromErrno();
}

long TktWinsock::send(TSocket s, const char* buffer, size_t length)
{
    Resolve("send");
    ssize_t sent;
    do {
        // A peer that has gone must give an error, not a SIGPIPE.
        sent = ::send(s, buffer, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 ? long(sent) : FailFromErrno();
}

TSocket TktWinsock::socket(int family, int type, int protocol)
{
    Resolve("socket");
    TSocket s = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (s < 0)
        return FailFromErrno();
    int on = 1;
    // Status line and text often come in two writes; without this each
    // multi-line reply waits for a delayed acknowledgement.
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

int TktWinsock::gethostname(std::string& name)
{
    Resolve("gethostname");
    char buffer[512] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return FailFromErrno();
    name = buffer;
    return 0;
}

int TktWinsock::WSAStartup(uint16_t version)
{
    Resolve("WSAStartup");
    return version == 0x0101 ? 0 : WSAVERNOTSUPPORTED;
}

int TktWinsock::WSACleanup()
{
    Resolve("WSACleanup");
    return 0;
}

int TktWinsock::WSAGetLastError() const
{
    Resolve("WSAGetLastError");
    return lastError;
}

int TktWinsock::GetSocketError(TSocket s)
{
    Resolve("connect");
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return WinsockErrorFromErrno(errno);
    return WinsockErrorFromErrno(error);
}

void TktWinsock::QuickAck(TSocket s)
{
#ifdef TCP_QUICKACK
    int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

std::vector<TSocketAddress> THostLookup::All() const
{
    if (!addresses.empty())
        return addresses;
    return { TSocketAddress::FromIPv4(address) };
}

THostResolver TktWinsock::HostResolver() const
{
    Resolve("WSAAsyncGetHostByName");
    return hostResolver_ ? hostResolver_ : THostResolver(SystemHostLookup);
}

TServiceResolver TktWinsock::ServiceResolver() const
{
    Resolve("WSAAsyncGetServByName");
    return serviceResolver_ ? serviceResolver_ : TServiceResolver(SystemServiceLookup);
}

TktWinsock& Winsock()
{
    static TktWinsock binding;
    return binding;
}

} // namespace lumigrab
