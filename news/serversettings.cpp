#include "serversettings.h"

namespace lumigrab {

bool SameConnection(const TServerSettings& one, const TServerSettings& other)
{
    TServerSettings alike = other;
    alike.Connections = one.Connections;
    alike.TrustedFingerprint = one.TrustedFingerprint;
    return alike == one;
}

} // namespace lumigrab
