#include "transport/kttypes.h"

#include "transport/ktConst.h"

namespace lumigrab {

EUntrustedCertificateError::EUntrustedCertificateError(
    std::string message, std::string reason, std::string fingerprint)
    : ESocketError(std::move(message))
    , reason_(std::move(reason))
    , fingerprint_(std::move(fingerprint))
{
}

ECanceledError::ECanceledError()
    : Exception(LoadResString(SOperationCanceled))
{
}

ETimedOutError::ETimedOutError()
    : Exception(LoadResString(SOperationTimedOut))
{
}

} // namespace lumigrab
