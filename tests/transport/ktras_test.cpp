#include "transport/ktRasCmp.h"

#include <QTimer>

#include <map>

#include "transport/ktsocket.h"

#include "tests/support/script_server.h"

namespace lumigrab {
namespace {

using testing::PrintTo;

// A dial-up service that plays a list of dial events from the event loop.
class FakeRas : public TRasService {
public:
    std::vector<std::string> entries { "Office", "Home" };
    uint32_t enumEntriesError = 0;
    std::vector<TRasConnection> connections;
    std::map<THRasConn, std::string> addresses;
    bool hasDial = true;
    bool passwordStored = true;
    uint32_t getParamsError = 0;
    uint32_t dialStartError = 0;
    std::vector<std::pair<int, uint32_t>> dialEvents { { 0, 0 }, { 2, 0 }, { RASCS_Connected, 0 } };
    std::vector<TRasDialParams> storedParams;
    std::vector<bool> removeRequests;
    std::vector<std::string> dialed;
    std::vector<THRasConn> hungUp;
    TRasDialNotify notify;
    // Pending dial events die with the fake.
    QObject context;

    bool HasEnumEntries() const override { return true; }
    uint32_t EnumEntries(std::vector<std::string>& names) override
    {
        names = entries;
        return enumEntriesError;
    }
    bool HasEnumConnections() const override { return true; }
    uint32_t EnumConnections(std::vector<TRasConnection>& out) override
    {
        out = connections;
        return 0;
    }
    bool HasProjection() const override { return true; }
    uint32_t GetIpAddress(THRasConn connection, std::string& ipAddress) override
    {
        ipAddress = addresses[connection];
        return 0;
    }
    bool HasDial() const override { return hasDial; }
    uint32_t GetEntryDialParams(TRasDialParams& params, bool& stored) override
    {
        params.userName = "user";
        stored = passwordStored;
        return getParamsError;
    }
    uint32_t SetEntryDialParams(const TRasDialParams& params, bool removePassword) override
    {
        storedParams.push_back(params);
        removeRequests.push_back(removePassword);
        return 0;
    }
    uint32_t Dial(const TRasDialParams& params, TRasDialNotify callback, THRasConn& connection) override
    {
        dialed.push_back(params.entryName);
        connection = THRasConn(100 + dialed.size());
        notify = std::move(callback);
        int delay = 10;
        for (auto [state, error] : dialEvents) {
            QTimer::singleShot(
                delay, &context, [this, state = state, error = error] { notify(state, error); });
            delay += 10;
        }
        return dialStartError;
    }
    bool HasHangUp() const override { return true; }
    uint32_t HangUp(THRasConn connection) override
    {
        hungUp.push_back(connection);
        return 0;
    }
    std::string ErrorString(uint32_t code) override
    {
        return code == 678 ? "The remote computer did not respond." : "";
    }
    std::string StatusText(int state) override { return "state " + std::to_string(state); }
};

class RasTest : public ::testing::Test {
protected:
    FakeRas* fake = new FakeRas;
    TktRas ras { nullptr, std::unique_ptr<TRasService>(fake) };
    std::vector<std::string> boxes;
    std::vector<std::string> statuses;
    int disconnectedEvents = 0;

    void SetUp() override
    {
        TktRas::SetMessageBoxHook([this](const std::string& text) { boxes.push_back(text); });
        ras.OnStatusChange = [this](TObject*, const std::string& text) { statuses.push_back(text); };
        ras.OnDisconnected = [this](TObject*) { ++disconnectedEvents; };
        ras.TimeOut = 5;
    }
    void TearDown() override { TktRas::SetMessageBoxHook({}); }
};

TEST_F(RasTest, DialWithoutServiceOrRasIsANoOp)
{
    ras.Dial();
    EXPECT_TRUE(ras.Connected());
    EXPECT_FALSE(ras.DialedByUs());
    EXPECT_TRUE(fake->dialed.empty());

    TktRas unavailable;
    EXPECT_FALSE(unavailable.Available());
    unavailable.SetService("Office");
    EXPECT_EQ(
        boxes, std::vector<std::string> { "TktRas component was unable to detect\rRAS on your system." });
    EXPECT_NO_THROW(unavailable.Dial());
    EXPECT_NO_THROW(unavailable.HangUp());
}

TEST_F(RasTest, DialsAndHangsUpItsOwnConnectionOnce)
{
    ras.SetService("Office");
    ras.Dial();
    EXPECT_TRUE(ras.Connected());
    EXPECT_TRUE(ras.DialedByUs());
    EXPECT_EQ(fake->dialed, std::vector<std::string> { "Office" });
    EXPECT_EQ(statuses, (std::vector<std::string> { "state 0", "state 2", "state 8192" }));
    THRasConn handle = ras.Handle();
    ras.HangUp();
    ras.HangUp();
    EXPECT_EQ(fake->hungUp, std::vector<THRasConn> { handle });
    EXPECT_EQ(disconnectedEvents, 1);
    EXPECT_FALSE(ras.Connected());
}

TEST_F(RasTest, ExistingConnectionsServeAndAreNotHungUp)
{
    fake->connections = { { 5, "Modem" }, { 6, "Mobile" }, { 7, "Office" } };
    fake->addresses = { { 5, "" }, { 6, "10.0.0.9" } };
    ras.SetService("Office");
    ras.Dial();
    EXPECT_EQ(ras.Handle(), 7);
    ras.HangUp();

    // Without ForceService any connection with an address will do.
    fake->connections.pop_back();
    ras.ForceService = false;
    ras.Dial();
    EXPECT_EQ(ras.Handle(), 6);
    EXPECT_FALSE(ras.DialedByUs());
    ras.HangUp();
    EXPECT_TRUE(fake->dialed.empty());
    EXPECT_TRUE(fake->hungUp.empty());

    ras.ForceService = true;
    ras.Dial();
    EXPECT_EQ(fake->dialed, std::vector<std::string> { "Office" });
}

struct DialFailure {
    const char* name;
    std::vector<std::pair<int, uint32_t>> events;
    uint32_t startError;
    std::string text;
};

class RasFailureTest : public RasTest, public ::testing::WithParamInterface<DialFailure> { };

TEST_P(RasFailureTest, FailedDialIsHungUpAndReported)
{
    fake->dialEvents = GetParam().events;
    fake->dialStartError = GetParam().startError;
    ras.SetService("Office");
    ExpectRaises<ERASError>([&] { ras.Dial(); }, GetParam().text);
    EXPECT_EQ(fake->hungUp.size(), 1u);
    EXPECT_FALSE(ras.Connected());
}

INSTANTIATE_TEST_SUITE_P(Failures, RasFailureTest,
    ::testing::Values(
        DialFailure { "ErrorEvent", { { 0, 0 }, { 2, 678 } }, 0, "The remote computer did not respond." },
        DialFailure { "ErrorWithoutText", { { 2, 31 } }, 0, "RAS error no 31" },
        DialFailure { "StartFails", {}, 633, "RAS error no 633" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RasTest, DialParamsFailureRaisesBeforeDialing)
{
    fake->getParamsError = 623;
    ras.SetService("Office");
    EXPECT_THROW(ras.Dial(), ERASError);
    EXPECT_TRUE(fake->dialed.empty());
}

TEST_F(RasTest, MissingPasswordIsStored)
{
    fake->passwordStored = false;
    ras.SetService("Home");
    ras.Password = "secret";
    ras.RemovePassword = false;
    ras.Dial();
    ASSERT_EQ(fake->storedParams.size(), 1u);
    EXPECT_EQ(fake->storedParams[0].password, "secret");
    EXPECT_EQ(fake->storedParams[0].entryName, "Home");
    EXPECT_EQ(fake->removeRequests, std::vector<bool> { false });
}

TEST_F(RasTest, SilentDialTimesOutWithoutHangingUp)
{
    fake->dialEvents = { { 0, 0 } };
    ras.SetService("Office");
    ras.TimeOut = 1;
    EXPECT_THROW(ras.Dial(), ETimedOutError);
    EXPECT_TRUE(fake->hungUp.empty());
}

TEST_F(RasTest, DisconnectDuringDialCancels)
{
    fake->dialEvents = { { 0, 0 } };
    ras.SetService("Office");
    QTimer::singleShot(50, [this] { ras.Disconnect(); });
    EXPECT_THROW(ras.Dial(), ECanceledError);
    EXPECT_EQ(fake->hungUp.size(), 1u);
}

TEST_F(RasTest, StaleErrorDoesNotFailTheNextDial)
{
    ras.SetService("Office");
    fake->enumEntriesError = 5;
    ras.EntryNames();
    ASSERT_EQ(ras.LastError(), 5u);
    fake->enumEntriesError = 0;
    ras.EntryNames();
    EXPECT_NO_THROW(ras.Dial());
    EXPECT_TRUE(ras.Connected());
}

TEST_F(RasTest, ErrorAfterConnectingIsReportedNotThrown)
{
    ras.SetService("Office");
    ras.Dial();
    fake->notify(RASCS_Connected, 678);
    EXPECT_EQ(boxes, std::vector<std::string> { "The remote computer did not respond." });
    EXPECT_EQ(ras.LastError(), 678u);
}

TEST_F(RasTest, ServiceSetterChecksTheName)
{
    ras.SetService("Nowhere");
    EXPECT_EQ(ras.Service(), "");
    ras.SetService("Home");
    EXPECT_EQ(ras.Service(), "Home");
    ras.Dial();
    ras.SetService("Office");
    EXPECT_EQ(ras.Service(), "Home");
    EXPECT_EQ(boxes,
        (std::vector<std::string> {
            "Invalid service name", "This property can be set only before\restablishing the connection" }));
}

class PlainSocket : public TktSocket {
public:
    void CheckReply(const std::string&) override { }
};

TEST_F(RasTest, SocketDialsOnOpenAndHangsUpOnClose)
{
    ras.SetService("Office");
    PlainSocket socket;
    socket.SetWinsockLoaded(true);
    socket.SetRAS(&ras);
    socket.Server = "127.0.0.1:119";
    socket.Open();
    EXPECT_TRUE(ras.Connected());
    socket.Close();
    EXPECT_FALSE(ras.Connected());
    socket.Open();
    EXPECT_EQ(fake->dialed.size(), 2u);
    EXPECT_EQ(fake->hungUp.size(), 1u);
}

TEST_F(RasTest, FreedDialUpComponentIsForgotten)
{
    auto freed = std::make_unique<TktRas>();
    PlainSocket socket;
    socket.SetWinsockLoaded(true);
    socket.Server = "127.0.0.1:119";
    socket.SetRAS(freed.get());
    freed.reset();
    EXPECT_EQ(socket.RAS(), nullptr);
    // Opening and closing no longer reach the freed component.
    socket.Open();
    socket.Close();
}

} // namespace
} // namespace lumigrab
