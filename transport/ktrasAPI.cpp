#include "transport/ktrasAPI.h"

namespace lumigrab {

namespace {

class TNoDialUpService : public TRasService {
public:
    bool HasEnumEntries() const override { return false; }
    uint32_t EnumEntries(std::vector<std::string>&) override { return 0; }
    bool HasEnumConnections() const override { return false; }
    uint32_t EnumConnections(std::vector<TRasConnection>&) override { return 0; }
    bool HasProjection() const override { return false; }
    uint32_t GetIpAddress(THRasConn, std::string&) override { return 0; }
    bool HasDial() const override { return false; }
    uint32_t GetEntryDialParams(TRasDialParams&, bool&) override { return 0; }
    uint32_t SetEntryDialParams(const TRasDialParams&, bool) override { return 0; }
    uint32_t Dial(const TRasDialParams&, TRasDialNotify, THRasConn&) override { return 0; }
    bool HasHangUp() const override { return false; }
    uint32_t HangUp(THRasConn) override { return 0; }
    std::string ErrorString(uint32_t) override { return {}; }
    std::string StatusText(int) override { return {}; }
};

} // namespace

std::unique_ptr<TRasService> NoDialUpService()
{
    return std::make_unique<TNoDialUpService>();
}

} // namespace lumigrab
