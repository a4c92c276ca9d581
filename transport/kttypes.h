// Event and exception types shared by the transport and the news client.
#pragma once

#include <functional>
#include <string>

#include "base/classes.h"
#include "base/sysutils.h"

namespace lumigrab {

// The sender of an event: the component that fires it.
using TObject = TPersistent;

using TNotifyEvent = std::function<void(TObject* Sender)>;
// Msg is passed by reference: a handler may replace the text that the
// following ESocketError carries.
using TmsErrorEvent = std::function<void(TObject* Sender, std::string& Msg)>;
using TmsProgressEvent = std::function<void(TObject* Sender, int Perc)>;
using TmsNumNotifyEvent = std::function<void(TObject* Sender, int Num)>;
// A protocol line that was sent or received (without its line end).
using TktLineEvent = std::function<void(TObject* Sender, const std::string& Line)>;

class ESocketError : public Exception {
public:
    using Exception::Exception;
};

// A TLS server's certificate was refused: the system does not trust it and
// its fingerprint is not the trusted one. Nothing was sent to the server.
class EUntrustedCertificateError : public ESocketError {
public:
    EUntrustedCertificateError(std::string message, std::string reason, std::string fingerprint);
    // Why, as "it has expired", "its issuer is unknown", "it is not valid
    // for news.example.org".
    const std::string& Reason() const { return reason_; }
    // The certificate's SHA-256 fingerprint, "AB:CD:...:EF".
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    std::string reason_;
    std::string fingerprint_;
};

// "Operation has been canceled".
class ECanceledError : public Exception {
public:
    ECanceledError();
};

// "Operation timed out".
class ETimedOutError : public Exception {
public:
    ETimedOutError();
};

} // namespace lumigrab
