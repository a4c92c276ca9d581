// Makes sure a dial-up connection exists before a socket connects and
// hangs up the one it dialed afterwards.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/classes.h"
#include "transport/ktrasAPI.h"
#include "transport/kttypes.h"

namespace lumigrab {

// Carries the platform's text for a dial-up error code.
class ERASError : public Exception {
public:
    ERASError(uint32_t code, const std::string& text);
    uint32_t Code() const { return code_; }

private:
    uint32_t code_;
};

using TRASNotifyEvent = std::function<void(TObject* Sender, const std::string& RASStatusStr)>;
// Shows a modal error box; the desktop program installs one.
using TRasMessageBox = std::function<void(const std::string& text)>;

class TktRas : public TComponent {
public:
    // Without a service the platform's own (none on this system) is used.
    explicit TktRas(TComponent* owner = nullptr, std::unique_ptr<TRasService> service = nullptr);
    ~TktRas() override;
    TktRas(const TktRas&) = delete;
    TktRas& operator=(const TktRas&) = delete;

    const char* ClassName() const override { return "TktRas"; }

    // Phone-book entry to dial. Setting it checks the name against the
    // entry list and reports problems through the message box hook.
    const std::string& Service() const { return service_; }
    void SetService(const std::string& name);

    // When false, any existing connection with an IP address will do.
    bool ForceService = true;
    bool MinimizeAtConnect = false;
    // Stored into the entry when the phone book holds no password.
    std::string Password;
    bool RemovePassword = true;
    // Seconds a dial may take.
    int TimeOut = 120;
    TRASNotifyEvent OnStatusChange;
    // Fired after hanging up a connection this component dialed.
    TNotifyEvent OnDisconnected;

    // Makes sure a connection exists; dials Service when needed.
    void Dial();
    // Hangs up, then makes a running dial end with ECanceledError.
    void Disconnect();
    // Hangs up a connection this component dialed.
    void HangUp();
    // Refreshes and returns the phone-book entry names.
    const TStringList& EntryNames();
    // Whether the platform offers a dial-up service (entries exist).
    bool Available() const { return !entries_.Empty(); }

    bool Connected() const { return connected_; }
    bool DialedByUs() const { return dialedByUs_; }
    THRasConn Handle() const { return handle_; }
    uint32_t LastError() const { return lastError_; }

    static void SetMessageBoxHook(TRasMessageBox hook);

private:
    struct Private;
    std::unique_ptr<TRasService> ras_;
    std::unique_ptr<Private> d_;
    std::string service_;
    TStringList entries_;
    THRasConn handle_ = kNoRasConnection;
    bool connected_ = false;
    bool dialedByUs_ = false;
    bool canceled_ = false;
    bool timedOut_ = false;
    uint32_t lastError_ = 0;
    int countdown_ = 0;
    bool waiting_ = false;

    bool FindConnection();
    bool FindConnectionWithAddress(const std::vector<TRasConnection>& connections);
    void PrepareDialParams(TRasDialParams& params);
    void WaitForDial();
    void OnDialEvent(int state, uint32_t error);
    void TimerTick();
    void ReportError(const std::string& text);
    // The platform's text for code, or "RAS error no <code>".
    std::string RasErrorText(uint32_t code);
    [[noreturn]] void RaiseRasError(uint32_t code);
};

} // namespace lumigrab
