// The transport's user-visible texts, looked up by number.
#pragma once

#include <string>

namespace lumigrab {

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
};

// The text stored under id (a message number or a socket error code);
// empty when there is none.
std::string LoadResString(int id);

// The user-visible text of a socket error code: "[10061] Connection
// refused", or "Error #<code>" for a code without a text.
std::string SocketErrorText(int code);

} // namespace lumigrab
