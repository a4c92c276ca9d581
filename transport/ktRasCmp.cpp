#include "transport/ktRasCmp.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace lumigrab {

namespace {

// Entry names longer than this are cut, as the phone book stores them.
constexpr size_t kMaxEntryName = 256;

TRasMessageBox& MessageBoxHook()
{
    static TRasMessageBox hook;
    return hook;
}

} // namespace

ERASError::ERASError(uint32_t code, const std::string& text)
    : Exception(text)
    , code_(code)
{
}

struct TktRas::Private {
    QObject window;
    QTimer timer;
};

TktRas::TktRas(TComponent* owner, std::unique_ptr<TRasService> service)
    : TComponent(owner)
    , ras_(service ? std::move(service) : NoDialUpService())
    , d_(std::make_unique<Private>())
{
    d_->timer.setInterval(1000);
    QObject::connect(&d_->timer, &QTimer::timeout, &d_->window, [this] { TimerTick(); });
    EntryNames();
}

TktRas::~TktRas() = default;

void TktRas::SetMessageBoxHook(TRasMessageBox hook)
{
    MessageBoxHook() = std::move(hook);
}

void TktRas::ReportError(const std::string& text)
{
    if (MessageBoxHook())
        MessageBoxHook()(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

void TktRas::SetService(const std::string& name)
{
    if (name.empty()) {
        service_.clear();
        return;
    }
    if (entries_.Empty()) {
        ReportError("TktRas component was unable to detect\rRAS on your system.");
        return;
    }
    if (connected_) {
        ReportError("This property can be set only before\restablishing the connection");
        return;
    }
    EntryNames();
    if (entries_.IndexOf(name) < 0) {
        ReportError("Invalid service name");
        service_.clear();
        return;
    }
    service_ = name;
}

const TStringList& TktRas::EntryNames()
{
    entries_.Clear();
    if (!ras_->HasEnumEntries())
        return entries_;
    std::vector<std::string> names;
    if (uint32_t error = ras_->EnumEntries(names)) {
        lastError_ = error;
        return entries_;
    }
    for (const std::string& name : names)
        entries_.Add(name.substr(0, kMaxEntryName));
    return entries_;
}

std::string TktRas::RasErrorText(uint32_t code)
{
    std::string text = ras_->ErrorString(code);
    return text.empty() ? "RAS error no " + std::to_string(code) : text;
}

[[noreturn]] void TktRas::RaiseRasError(uint32_t code)
{
    throw ERASError(code, RasErrorText(code));
}

bool TktRas::FindConnection()
{
    if (!ras_->HasEnumConnections())
        return false;
    std::vector<TRasConnection> connections;
    if (uint32_t error = ras_->EnumConnections(connections))
        RaiseRasError(error);
    for (const TRasConnection& connection : connections) {
        if (connection.entryName == service_ || connection.handle == handle_) {
            handle_ = connection.handle;
            return true;
        }
    }
    if (ForceService || !ras_->HasProjection())
        return false;
    return FindConnectionWithAddress(connections);
}

bool TktRas::FindConnectionWithAddress(const std::vector<TRasConnection>& connections)
{
    for (const TRasConnection& connection : connections) {
        std::string ipAddress;
        if (uint32_t error = ras_->GetIpAddress(connection.handle, ipAddress))
            RaiseRasError(error);
        if (!ipAddress.empty()) {
            handle_ = connection.handle;
            return true;
        }
    }
    return false;
}

void TktRas::PrepareDialParams(TRasDialParams& params)
{
    params.entryName = service_;
    bool passwordStored = false;
    if (uint32_t error = ras_->GetEntryDialParams(params, passwordStored))
        RaiseRasError(error);
    if (passwordStored)
        return;
    params.password = Password;
    if (uint32_t error = ras_->SetEntryDialParams(params, RemovePassword))
        RaiseRasError(error);
}

void TktRas::Dial()
{
    if (FindConnection() || service_.empty()) {
        connected_ = true;
        dialedByUs_ = false;
        return;
    }
    if (!ras_->HasDial())
        return;
    dialedByUs_ = true;
    handle_ = kNoRasConnection;
    connected_ = canceled_ = timedOut_ = false;
    // An error left from an earlier call must not fail this dial.
    lastError_ = 0;
    TRasDialParams params;
    PrepareDialParams(params);
    uint32_t error = ras_->Dial(
        params, [this](int state, uint32_t code) { OnDialEvent(state, code); }, handle_);
    if (error == 0) {
        WaitForDial();
        error = lastError_;
    }
    if (error != 0) {
        HangUp();
        RaiseRasError(error);
    }
    if (canceled_)
        throw ECanceledError();
    if (timedOut_)
        throw ETimedOutError();
    if (MinimizeAtConnect)
        ras_->MinimizeStatusWindow();
}

void TktRas::WaitForDial()
{
    countdown_ = TimeOut;
    d_->timer.start();
    waiting_ = true;
    while (!connected_ && lastError_ == 0 && !canceled_ && !timedOut_)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    waiting_ = false;
    d_->timer.stop();
}

void TktRas::OnDialEvent(int state, uint32_t error)
{
    if (OnStatusChange)
        OnStatusChange(this, ras_->StatusText(state));
    if (!connected_)
        connected_ = state == RASCS_Connected;
    if (error == 0)
        return;
    lastError_ = error;
    // A running dial raises it itself; a failure after the dial is only
    // reported, as no caller is there to catch it.
    if (connected_ && !waiting_)
        ReportError(RasErrorText(error));
}

void TktRas::TimerTick()
{
    if (--countdown_ != 0)
        return;
    d_->timer.stop();
    timedOut_ = true;
}

void TktRas::HangUp()
{
    if (!ras_->HasHangUp())
        return;
    if (Available() && dialedByUs_ && handle_ != kNoRasConnection) {
        ras_->HangUp(handle_);
        if (OnDisconnected)
            OnDisconnected(this);
    }
    connected_ = false;
    handle_ = kNoRasConnection;
}

void TktRas::Disconnect()
{
    HangUp();
    canceled_ = true;
    if (auto* dispatcher = QCoreApplication::eventDispatcher())
        dispatcher->wakeUp();
}

} // namespace lumigrab
