#include "transport/ktConst.h"

#include <algorithm>
#include <span>

#include "base/sysutils.h"

namespace lumigrab {

namespace {

struct TResString {
    int id;
    const char* text;
};

// Both sorted by id.
constexpr TResString kMessages[] = {
    { SOperationTimedOut, "Operation timed out" },
    { SOperationCanceled, "Operation has been canceled" },
    { SServerRequired, "Server property is required" },
    { SInvalidWinsockVersion, "Invalid Winsock version" },
    { SErrorResolvingHost, "Error resolving remote host" },
    { SServiceNameRequired, "Service name is required" },
    { SNotConnected, "You have to connect to the server first" },
    { SFunctionNotFound, "Function %s not found" },
    { SWinsockNotLoaded, "Winsock is not loaded" },
    { SWinsockNotFound, "Winsock not found" },
    { SCertificateRefused, "The certificate of %s was refused: %s" },
    { STLSFailed, "Secure connection failed: %s" },
};

// The code in brackets goes before each text when it is looked up.
constexpr TResString kSocketErrors[] = {
    { WSAEINTR, "Interrupted function call" },
    { WSAEBADF, "Bad file number" },
    { WSAEACCES, "Permission denied." },
    { WSAEFAULT, "Bad address" },
    { WSAEINVAL, "Invalid argument" },
    { WSAEMFILE, "Too many open files" },
    { WSAEWOULDBLOCK, "Resource temporarily not available" },
    { WSAEINPROGRESS, "Operation now in progress" },
    { WSAEALREADY, "Operation already in progress" },
    { WSAENOTSOCK, "Socket operation on non-socket" },
    { WSAEDESTADDRREQ, "Destination address required" },
    { WSAEMSGSIZE, "Message too long" },
    { WSAEPROTOTYPE, "Protocol wrong type for socket" },
    { WSAENOPROTOOPT, "Bad protocol option" },
    { WSAEPROTONOSUPPORT, "Protocol not supported" },
    { WSAESOCKTNOSUPPORT, "Socket type not supported" },
    { WSAEOPNOTSUPP, "Operation not supported" },
    { WSAEPFNOSUPPORT, "Protocol family not supported" },
    { WSAEAFNOSUPPORT, "Address family not supported by protocol family" },
    { WSAEADDRINUSE, "Address already in use" },
    { WSAEADDRNOTAVAIL, "Cannot assign requested address" },
    { WSAENETDOWN, "Network is down" },
    { WSAENETUNREACH, "Network is unreachable" },
    { WSAENETRESET, "Network dropped connection or reset" },
    { WSAECONNABORTED, "Software caused connection abort" },
    { WSAECONNRESET, "Connection reset by peer" },
    { WSAENOBUFS, "No buffer space available" },
    { WSAEISCONN, "Socket is already connected" },
    { WSAENOTCONN, "Socket is not connected" },
    { WSAESHUTDOWN, "Can't send after socket shutdown" },
    { WSAETOOMANYREFS, "Too many references, can't splice" },
    { WSAETIMEDOUT, "Connection timed out" },
    { WSAECONNREFUSED, "Connection refused" },
    { WSAELOOP, "Too many levels of symbolic links" },
    { WSAENAMETOOLONG, "File name too long" },
    { WSAEHOSTDOWN, "Host is down" },
    { WSAEHOSTUNREACH, "No Route to Host" },
    { WSAENOTEMPTY, "Directory not empty" },
    { WSAEPROCLIM, "Too many processes" },
    { WSAEUSERS, "Too many users" },
    { WSAEDQUOT, "Disc Quota Exceeded" },
    { WSAESTALE, "Stale NFS file handle" },
    { WSAEREMOTE, "Too many levels of remote in path" },
    { WSASYSNOTREADY, "Network subsystem is unavailable" },
    { WSAVERNOTSUPPORTED, "WINSOCK DLL Version out of range" },
    { WSANOTINITIALISED, "Successful WSAStartup() not yet performed" },
    { WSAEDISCON, "Graceful shutdown in progress" },
    { WSAHOST_NOT_FOUND, "Host not found" },
    { WSATRY_AGAIN, "Non-Authoritative Host not found" },
    { WSANO_RECOVERY, "Non-Recoverable errors: FORMERR, REFUSED, NOTIMP" },
    { WSANO_DATA, "Valid name, no data record of requested type" },
};

constexpr bool SortedById(std::span<const TResString> table)
{
    return std::is_sorted(
        table.begin(), table.end(), [](const TResString& a, const TResString& b) { return a.id < b.id; });
}
static_assert(SortedById(kMessages) && SortedById(kSocketErrors));

const char* FindText(std::span<const TResString> table, int id)
{
    auto found = std::lower_bound(
        table.begin(), table.end(), id, [](const TResString& entry, int key) { return entry.id < key; });
    return found != table.end() && found->id == id ? found->text : nullptr;
}

} // namespace

std::string LoadResString(int id)
{
    if (const char* text = FindText(kMessages, id))
        return text;
    if (const char* text = FindText(kSocketErrors, id))
        return Format("[%d] %s", id, text);
    return {};
}

std::string SocketErrorText(int code)
{
    std::string text = LoadResString(code);
    return text.empty() ? Format("Error #%d", code) : text;
}

} // namespace lumigrab
