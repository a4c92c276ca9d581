#include "transport/msmb.h"

namespace lumigrab {

void TmsMailBase::Connect()
{
    if (Connected())
        return;
    Open();
    try {
        StartSession();
    } catch (...) {
        // A session that never started must not pass for a connection.
        if (Connected())
            Close();
        throw;
    }
}

void TmsMailBase::Disconnect()
{
    if (!Connected())
        return;
    EndSession();
    Close();
}

} // namespace lumigrab
