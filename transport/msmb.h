// The base of the mail and news protocol clients: a socket framed by a
// protocol session.
#pragma once

#include "transport/ktsocket.h"

namespace lumigrab {

class TmsMailBase : public TktSocket {
public:
    using TktSocket::TktSocket;

    const char* ClassName() const override { return "TmsMailBase"; }

    // When not connected: Open, then StartSession.
    void Connect();
    // When connected: EndSession, then Close.
    void Disconnect();

    // The protocol's greeting (ConnectSocket and the first reply) and
    // farewell.
    virtual void StartSession() = 0;
    virtual void EndSession() = 0;
};

} // namespace lumigrab
