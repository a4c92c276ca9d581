// The program's one binding to the socket service (POSIX sockets). Every
// socket call goes through it, so unloading it stops all socket traffic.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/sysutils.h"
#include "transport/ktConst.h"
#include "transport/ktaddress.h"

namespace lumigrab {

class EWinsockDLLError : public Exception {
public:
    using Exception::Exception;
};

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// The Winsock number for a POSIX errno value (0 for 0).
int WinsockErrorFromErrno(int errnoValue);
// The Winsock number for a getaddrinfo/getservbyname result (0 for 0).
int WinsockErrorFromGai(int gaiValue);

// Outcome of a host lookup: the addresses found, in the order to try them,
// or a Winsock error code.
struct THostLookup {
    THostLookup() = default;
    THostLookup(int error, uint32_t address, std::vector<TSocketAddress> addresses = {})
        : error(error)
        , address(address)
        , addresses(std::move(addresses))
    {
    }

    int error = 0;
    // The first IPv4 address (network byte order); 0 when there is none.
    uint32_t address = 0;
    // Every address, either family; when empty, address alone.
    std::vector<TSocketAddress> addresses;

    // The addresses to try, first to last.
    std::vector<TSocketAddress> All() const;
};

// Outcome of a service lookup: the port (host byte order) or an error.
struct TServiceLookup {
    int error = 0;
    uint16_t port = 0;
};

// Blocking lookups; the socket component runs them on a worker thread.
using THostResolver = std::function<THostLookup(const std::string& name)>;
using TServiceResolver = std::function<TServiceLookup(const std::string& name, const std::string& protocol)>;

class TktWinsock {
public:
    TktWinsock() = default;
    ~TktWinsock() { Unload(); }
    TktWinsock(const TktWinsock&) = delete;
    TktWinsock& operator=(const TktWinsock&) = delete;

    bool IsLoaded() const { return loaded_; }
    void Load();
    void Unload();
    // Raises "Winsock is not loaded" when unloaded and "Function %s not
    // found" for a function the binding does not offer.
    void Resolve(std::string_view name) const;

    // The socket operations. Failures return SOCKET_ERROR (or
    // INVALID_SOCKET) and leave their code for WSAGetLastError.
    int closesocket(TSocket s);
    int connect(TSocket s, const sockaddr_in& address);
    int connect(TSocket s, const TSocketAddress& address);
    // Byte order swap (its own inverse); the C library's htons may be a macro.
    uint16_t Htons(uint16_t value);
    // INADDR_NONE for a text that is no IPv4 address.
    uint32_t inet_addr(std::string_view text);
    // Received byte count, 0 at the end of the stream, SOCKET_ERROR on
    // failure (WSAEWOULDBLOCK when nothing is waiting).
    long recv(TSocket s, char* buffer, size_t length);
    long send(TSocket s, const char* buffer, size_t length);
    // A non-blocking stream socket that acknowledges promptly.
    TSocket socket(int family, int type, int protocol);
    int gethostname(std::string& name);
    int WSAStartup(uint16_t version);
    int WSACleanup();
    int WSAGetLastError() const;
    // The pending error of a socket (a finished non-blocking connect).
    int GetSocketError(TSocket s);
    // Asks the stack to acknowledge received data now.
    void QuickAck(TSocket s);

    // The lookups that the component's worker threads run; tests may
    // replace them (an empty function restores the system's).
    THostLookup LookupHost(const std::string& name) const { return HostResolver()(name); }
    TServiceLookup LookupService(const std::string& name, const std::string& protocol) const
    {
        return ServiceResolver()(name, protocol);
    }
    // The resolvers in force, copied for a worker thread.
    THostResolver HostResolver() const;
    TServiceResolver ServiceResolver() const;
    void SetHostResolver(THostResolver resolver) { hostResolver_ = std::move(resolver); }
    void SetServiceResolver(TServiceResolver resolver) { serviceResolver_ = std::move(resolver); }

    // Halves of a packed notification parameter.
    static uint16_t ErrorOf(uint32_t param) { return uint16_t(param >> 16); }
    static uint16_t EventOf(uint32_t param) { return uint16_t(param & 0xFFFF); }

private:
    // Read by every connection's thread.
    std::atomic<bool> loaded_ = false;
    THostResolver hostResolver_;
    TServiceResolver serviceResolver_;

    int Fail(int code);
    int FailFromErrno();
};

// The one binding the program uses.
TktWinsock& Winsock();

} // namespace lumigrab
