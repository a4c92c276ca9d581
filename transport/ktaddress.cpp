#include "transport/ktaddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace lumigrab {

TSocketAddress TSocketAddress::FromIPv4(uint32_t networkOrder)
{
    TSocketAddress address;
    sockaddr_in ipv4 {};
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = networkOrder;
    std::memcpy(&address.storage_, &ipv4, sizeof ipv4);
    address.length_ = sizeof ipv4;
    return address;
}

std::optional<TSocketAddress> TSocketAddress::FromLiteral(std::string_view text)
{
    const std::string host(text);
    in_addr ipv4 {};
    if (::inet_aton(host.c_str(), &ipv4))
        return FromIPv4(ipv4.s_addr);
    if (host.find(':') == std::string::npos)
        return std::nullopt;
    // getaddrinfo also reads a zone ("%eth0") after a link-local address.
    addrinfo hints {};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return std::nullopt;
    std::optional<TSocketAddress> address = FromSockaddr(found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    return address;
}

std::optional<TSocketAddress> TSocketAddress::FromSockaddr(const sockaddr* address, socklen_t length)
{
    const bool known = (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in)))
        || (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6)));
    if (!known)
        return std::nullopt;
    TSocketAddress copy;
    copy.length_ = address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    std::memcpy(&copy.storage_, address, copy.length_);
    return copy;
}

uint32_t TSocketAddress::IPv4() const
{
    return IsIPv4() ? reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr.s_addr : 0;
}

std::string TSocketAddress::Text() const
{
    char text[NI_MAXHOST] = "";
    if (length_ == 0 || ::getnameinfo(Data(), length_, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return text;
}

void TSocketAddress::SetPort(uint16_t port)
{
    if (IsIPv4())
        reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = htons(port);
    else if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = htons(port);
}

uint16_t TSocketAddress::Port() const
{
    if (IsIPv4())
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
    if (Family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return 0;
}

bool TSocketAddress::operator==(const TSocketAddress& other) const
{
    return length_ == other.length_ && std::memcmp(&storage_, &other.storage_, length_) == 0;
}

TServerName SplitServerName(std::string_view server)
{
    if (server.starts_with('[')) {
        const size_t close = server.find(']');
        if (close != std::string_view::npos) {
            const std::string_view rest = server.substr(close + 1);
            return { std::string(server.substr(1, close - 1)),
                std::string(rest.starts_with(':') ? rest.substr(1) : std::string_view()) };
        }
    }
    // Two colons or more: an IPv6 literal without brackets and without a
    // port, when it reads as one.
    const size_t colon = server.find(':');
    if (colon != server.rfind(':')) {
        const auto literal = TSocketAddress::FromLiteral(server);
        if (literal && !literal->IsIPv4())
            return { std::string(server), {} };
    }
    if (colon == std::string_view::npos)
        return { std::string(server), {} };
    return { std::string(server.substr(0, colon)), std::string(server.substr(colon + 1)) };
}

} // namespace lumigrab
