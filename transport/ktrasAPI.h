// The dial-up service as the dial-up component sees it. A platform layer
// implements it; this system's platform has none (NoDialUpService).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumigrab {

using THRasConn = intptr_t;
constexpr THRasConn kNoRasConnection = -1;

// Dial states the component looks at.
enum : int {
    RASCS_OpenPort = 0,
    RASCS_Connected = 8192,
};

struct TRasConnection {
    THRasConn handle = kNoRasConnection;
    std::string entryName;
};

struct TRasDialParams {
    std::string entryName;
    std::string userName;
    std::string password;
};

// Progress of a running dial: connection state and error code (0 = none).
// Delivered on the user-interface thread.
using TRasDialNotify = std::function<void(int state, uint32_t error)>;

// Each group of operations may be missing from a platform; the Has*
// queries say whether it is there. Operations return 0 or a platform
// error code.
class TRasService {
public:
    virtual ~TRasService() = default;

    virtual bool HasEnumEntries() const = 0;
    virtual uint32_t EnumEntries(std::vector<std::string>& names) = 0;

    virtual bool HasEnumConnections() const = 0;
    virtual uint32_t EnumConnections(std::vector<TRasConnection>& connections) = 0;

    virtual bool HasProjection() const = 0;
    // The IP address text of a connection (empty when it has none).
    virtual uint32_t GetIpAddress(THRasConn connection, std::string& ipAddress) = 0;

    // Reading and storing an entry's dial parameters and dialing.
    virtual bool HasDial() const = 0;
    virtual uint32_t GetEntryDialParams(TRasDialParams& params, bool& passwordStored) = 0;
    virtual uint32_t SetEntryDialParams(const TRasDialParams& params, bool removePassword) = 0;
    virtual uint32_t Dial(const TRasDialParams& params, TRasDialNotify notify, THRasConn& connection) = 0;

    virtual bool HasHangUp() const = 0;
    virtual uint32_t HangUp(THRasConn connection) = 0;

    // The platform's text for an error code; empty when it has none.
    virtual std::string ErrorString(uint32_t code) = 0;
    // The platform's text for a dial state; empty when it has none.
    virtual std::string StatusText(int state) = 0;

    // Minimises the platform's dial status window, if it shows one.
    virtual void MinimizeStatusWindow() { }
};

// A platform without a dial-up service: every operation is missing.
std::unique_ptr<TRasService> NoDialUpService();

} // namespace lumigrab
