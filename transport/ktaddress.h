// A socket address of either family (IPv4 or IPv6), and how a "Server"
// setting splits into host and port.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumigrab {

class TSocketAddress {
public:
    // An IPv4 address in network byte order.
    static TSocketAddress FromIPv4(uint32_t networkOrder);
    // A numeric address: dotted IPv4 (the forms inet_aton takes) or an IPv6
    // literal without brackets ("::1", "fe80::1%lo"); nothing for a name.
    static std::optional<TSocketAddress> FromLiteral(std::string_view text);
    // A copy of an address the system gave; nothing for another family.
    static std::optional<TSocketAddress> FromSockaddr(const sockaddr* address, socklen_t length);

    int Family() const { return storage_.ss_family; }
    bool IsIPv4() const { return Family() == AF_INET; }
    // Network byte order; 0 for an IPv6 address.
    uint32_t IPv4() const;
    // "127.0.0.1", "::1".
    std::string Text() const;

    // Host byte order.
    void SetPort(uint16_t port);
    uint16_t Port() const;

    const sockaddr* Data() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t Length() const { return length_; }

    bool operator==(const TSocketAddress& other) const;

private:
    sockaddr_storage storage_ {};
    socklen_t length_ = 0;
};

// A "Server" text: a host, or a host, ":" and a port. The host is a name, a
// dotted IPv4 address or an IPv6 literal; an IPv6 literal with a port is
// written in brackets ("[::1]:563"), and "[::1]" and a bare "::1" are
// accepted too.
struct TServerName {
    std::string host;
    // The text after the host's ":"; empty when there is none.
    std::string port;
};
TServerName SplitServerName(std::string_view server);

} // namespace lumigrab
