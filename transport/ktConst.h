// The transport's user-visible texts, looked up by number.
#pragma once

#include <string>

namespace lumigrab {

// Numbers of the transport's own messages.
enum : int {
    SOperationTimedOut = 57000,
    SOperationCanceled = 57001,
    SServerRequired = 57002,
    SInvalidWinsockVersion = 57003,
    SErrorResolvingHost = 57004,
    SServiceNameRequired = 57005,
    SNotConnected = 57008,
    SFunctionNotFound = 57010,
    SWinsockNotLoaded = 57011,
    SWinsockNotFound = 57012,
    SCertificateRefused = 57020,
    STLSFailed = 57021,
};

// Winsock error numbers; each has a text under its own number.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSAEPROCLIM = 10067,
    WSAEUSERS = 10068,
    WSAEDQUOT = 10069,
    WSAESTALE = 10070,
    WSAEREMOTE = 10071,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAEDISCON = 10094,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// The text stored under id: a message, or a socket error code's text
// behind the code in brackets ("[10061] Connection refused"); empty when
// there is none.
std::string LoadResString(int id);

// The user-visible text of a socket error code: "[10061] Connection
// refused", or "Error #<code>" for a code without a text.
std::string SocketErrorText(int code);

} // namespace lumigrab
