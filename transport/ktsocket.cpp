#include "transport/ktsocket.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>

#include "base/receivebuffer.h"
#include "transport/ktcompress.h"
#include "transport/ktConst.h"
#include "transport/ktRasCmp.h"
#include "transport/kttls.h"
#include "transport/ktwsock.h"

namespace lumigrab {

namespace {

constexpr size_t kReceiveBlock = 16384;
// Estimated bytes per line when the expected size counts lines.
constexpr int64_t kBytesPerLine = 76;
// Blocks with a larger bound grow as memory streams always do.
constexpr int64_t kLargestReservedBlock = int64_t(1) << 32;

// Room in a memory stream for a data block that may grow to maxSize bytes
// from first on, made before the block reaches blockBytes. Growing by
// doubling, a stream copies its bytes into a buffer twice as large: near
// the bound both copies would be held at once. So once the block passes
// half its bound, its stream takes the room for the whole bound in one
// step, copying at most half the bound, and never grows again: a block is
// held at most once its bound. Room not written to costs no memory.
void MakeRoomWithinBound(TStream& stream, int64_t first, int64_t blockBytes, int64_t maxSize)
{
    auto* memory = dynamic_cast<TMemoryStream*>(&stream);
    if (!memory || maxSize > kLargestReservedBlock || blockBytes <= maxSize / 2)
        return;
    memory->ReserveExactly(size_t(first + maxSize));
}

// A lookup running on a worker thread. The worker fills in the result and
// wakes the user-interface thread; a lookup that was given up is ignored.
template <typename Result> class TLookup {
public:
    explicit TLookup(QAbstractEventDispatcher* dispatcher)
        : dispatcher_(dispatcher)
    {
    }

    void Finish(const Result& result)
    {
        std::lock_guard lock(mutex_);
        if (abandoned_)
            return;
        result_ = result;
        if (dispatcher_)
            dispatcher_->wakeUp();
    }

    void Abandon()
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }

    // The result once; nothing before it is there or after abandoning.
    std::optional<Result> TakeResult()
    {
        std::lock_guard lock(mutex_);
        if (abandoned_)
            return std::nullopt;
        if (result_)
            abandoned_ = true;
        return result_;
    }

private:
    std::mutex mutex_;
    QAbstractEventDispatcher* dispatcher_;
    bool abandoned_ = false;
    std::optional<Result> result_;
};

} // namespace

struct TktSocket::Private {
    // Context of the notifier and timer callbacks.
    QObject window;
    QTimer timer;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    TSocket socket = INVALID_SOCKET;
    // Set while the connection runs TLS.
    std::unique_ptr<TktTlsSession> tls;
    std::string peerFingerprint;

    // The lookup being waited for; Cancel and the time-out abandon it.
    std::shared_ptr<TLookup<TLookupResult>> lookup;

    std::string localHostName;
    // The server's addresses, tried in turn; addressIndex is the current.
    std::vector<TSocketAddress> addresses;
    size_t addressIndex = 0;
    // Whether the addresses came from a name lookup.
    bool looked = false;
    std::string remoteAddress;
    uint32_t remoteAddr = 0;
    uint16_t port = 0;
    int countdown = 0;
    int startupCount = 0;

    bool timedOut = false;
    bool canceled = false;
    // Set by CancelForGood, from any thread.
    std::atomic<bool> canceledForGood = false;
    bool connectDone = false;
    bool dataReady = false;
    bool writeReady = false;
    bool peerClosed = false;
    // A time-out that ends the wait without OnError (see ReadReplyWithin).
    bool quietTimeOut = false;
    // Why the connect failed; 0 while it has not.
    int errorCode = 0;

    // Bytes received but not yet handed out; replies and data blocks
    // share it, so nothing read ahead is lost.
    TReceiveBuffer received;
    // Between the connection (TLS undone) and received while the server
    // compresses: the whole connection, or one data block until its end.
    std::unique_ptr<TktInflater> inflater;
    bool inflatingBlock = false;
    // Compresses what is sent once the whole connection is compressed.
    std::unique_ptr<TktDeflater> deflater;
    // Bytes read from the connection on their way to the inflater.
    TReceiveBuffer wire;

    bool InflaterHasWork() const { return inflater && inflater->HasWork(); }

    void DropCompression()
    {
        inflater.reset();
        inflatingBlock = false;
        deflater.reset();
        wire.Clear();
    }

    void AbandonLookup()
    {
        if (lookup)
            lookup->Abandon();
        lookup.reset();
    }

    void DropNotifiers()
    {
        readNotifier.reset();
        writeNotifier.reset();
    }
};

TktSocket::TktSocket(TComponent* owner)
    : TComponent(owner)
    , d_(std::make_unique<Private>())
{
    d_->timer.setInterval(1000);
    QObject::connect(&d_->timer, &QTimer::timeout, &d_->window, [this] { TimerTick(); });
    // The binding is program-wide: a new component leaves it as it is, or
    // it would stop the connections of every other one (a pool of them may
    // be working on other threads).
}

TktSocket::~TktSocket()
{
    d_->AbandonLookup();
    d_->DropNotifiers();
    if (d_->socket != INVALID_SOCKET) {
        try {
            Winsock().closesocket(d_->socket);
        } catch (const Exception&) {
            // The binding is gone; the process cleans up.
        }
    }
    if (Winsock().IsLoaded()) {
        for (; d_->startupCount > 0; --d_->startupCount)
            Winsock().WSACleanup();
    }
    SaveLog();
}

bool TktSocket::WinsockLoaded() const
{
    return Winsock().IsLoaded();
}

void TktSocket::SetWinsockLoaded(bool loaded)
{
    if (!loaded)
        Winsock().Unload();
    else if (!Winsock().IsLoaded())
        Winsock().Load();
}

bool TktSocket::Connected() const
{
    return d_->socket != INVALID_SOCKET;
}

bool TktSocket::Canceled() const
{
    return d_->canceled;
}

bool TktSocket::TimedOut() const
{
    return d_->timedOut;
}

const std::string& TktSocket::PeerFingerprint() const
{
    return d_->peerFingerprint;
}

const std::string& TktSocket::LocalHostName() const
{
    return d_->localHostName;
}

const std::string& TktSocket::RemoteAddress() const
{
    return d_->remoteAddress;
}

uint32_t TktSocket::RemoteAddr() const
{
    return d_->remoteAddr;
}

uint16_t TktSocket::Port() const
{
    return d_->port;
}

std::string TktSocket::ServerHost() const
{
    return SplitServerName(Server).host;
}

int TktSocket::ServerPort() const
{
    const std::string text = SplitServerName(Server).port;
    if (text.empty())
        return 0;
    int port = StrToIntDef(text, 0);
    // Anything that is no port number falls back to the service lookup.
    return port > 0 && port <= 65535 ? port : 0;
}

void TktSocket::SetRAS(TktRas* ras)
{
    ReferTo(ras_, ras);
}

void TktSocket::ComponentRemoved(TComponent* component)
{
    if (component == ras_)
        ras_ = nullptr;
    TComponent::ComponentRemoved(component);
}

void TktSocket::ResetState()
{
    d_->canceled = false;
    d_->timedOut = false;
    d_->AbandonLookup();
    d_->errorCode = 0;
    d_->connectDone = false;
    d_->dataReady = false;
    d_->writeReady = false;
    d_->peerClosed = false;
}

// ---- Waiting ---------------------------------------------------------------

// The event loop of the thread the component lives on, which its waits
// run; a pooled connection lives on a worker thread of its own.
QAbstractEventDispatcher* TktSocket::OwnDispatcher() const
{
    return QAbstractEventDispatcher::instance(d_->window.thread());
}

void TktSocket::WaitUntil(const std::function<bool()>& done)
{
    // Sleeps in the event loop until a notifier, the timer, a finished
    // lookup or Cancel wakes it; handlers of user commands run in here.
    // CancelForGood is looked at before each test of done, so that what
    // came in the same pass (a greeting, a reply) is not acted on.
    for (;;) {
        if (d_->canceledForGood && !d_->canceled)
            Cancel();
        if (done())
            return;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void TktSocket::StartTimer()
{
    d_->countdown = TimeOut;
    d_->timer.start();
}

void TktSocket::StopTimer()
{
    d_->timer.stop();
}

void TktSocket::TimerTick()
{
    if (--d_->countdown != 0)
        return;
    d_->AbandonLookup();
    StopTimer();
    d_->timedOut = true;
}

// ---- Errors ----------------------------------------------------------------

void TktSocket::RaiseSocketError(int code)
{
    StopTimer();
    if (code != 0)
        RaiseSocketError(SocketErrorText(code));
}

std::string TktSocket::FireError(std::string text)
{
    StopTimer();
    return FireErrorEvent(std::move(text));
}

std::string TktSocket::FireErrorEvent(std::string text)
{
    if (OnError)
        OnError(this, text);
    return text;
}

void TktSocket::RaiseSocketError(std::string text)
{
    throw ESocketError(FireError(std::move(text)));
}

void TktSocket::RaiseSocketErrorKeepingTimer(std::string text)
{
    throw ESocketError(FireErrorEvent(std::move(text)));
}

// The handler sees the text, but these two exceptions keep their own.
void TktSocket::RaiseTimedOut()
{
    if (d_->quietTimeOut)
        StopTimer();
    else
        FireError(LoadResString(SOperationTimedOut));
    Close();
    throw ETimedOutError();
}

void TktSocket::RaiseCanceled()
{
    FireError(LoadResString(SOperationCanceled));
    throw ECanceledError();
}

// A failure of the connection itself: it is unusable from here on, so it
// is closed and the next Connect starts afresh.
void TktSocket::RaiseConnectionError(int code)
{
    RaiseConnectionError(SocketErrorText(code));
}

void TktSocket::RaiseConnectionError(std::string text)
{
    text = FireError(std::move(text));
    Close();
    throw ESocketError(text);
}

void TktSocket::CheckServer()
{
    if (Server.empty())
        RaiseSocketError(LoadResString(SServerRequired));
}

void TktSocket::RequireConnected()
{
    if (!Connected())
        RaiseSocketError(LoadResString(SNotConnected));
}

// Sending and reading need a socket that ConnectSocket has connected.
void TktSocket::RequireSession()
{
    RequireConnected();
    if (!d_->readNotifier)
        RaiseSocketError(WSAENOTCONN);
}

// Turns the flags that ended a wait into the matching exception.
void TktSocket::RaiseWaitOutcome()
{
    if (d_->canceled)
        RaiseCanceled();
    if (d_->timedOut)
        RaiseTimedOut();
    RequireConnected();
}

// ---- Open ------------------------------------------------------------------

void TktSocket::Open()
{
    if (Connected())
        Close();
    if (ras_)
        ras_->Dial();
    if (OnOpen)
        OnOpen(this);
    TakeServerFields();
    CheckServer();
    if (Winsock().WSAStartup(0x0101) != 0)
        RaiseSocketError(LoadResString(SInvalidWinsockVersion));
    ++d_->startupCount;
    if (Winsock().gethostname(d_->localHostName) != 0)
        d_->localHostName = ServerHost();
    ResolveHost();
    ResolvePort();
    CreateSocket();
}

auto TktSocket::WaitForLookup(std::function<TLookupResult()> work) -> std::optional<TLookupResult>
{
    d_->AbandonLookup();
    auto lookup = std::make_shared<TLookup<TLookupResult>>(OwnDispatcher());
    d_->lookup = lookup;
    std::thread([lookup, work = std::move(work)] { lookup->Finish(work()); }).detach();
    std::optional<TLookupResult> result;
    StartTimer();
    WaitUntil([&] { return (result = lookup->TakeResult()) || d_->timedOut || d_->canceled; });
    StopTimer();
    d_->AbandonLookup();
    return result;
}

void TktSocket::ResolveHost()
{
    std::string host = ServerHost();
    d_->addresses.clear();
    d_->addressIndex = 0;
    d_->remoteAddress.clear();
    d_->remoteAddr = 0;
    d_->looked = false;
    if (auto literal = TSocketAddress::FromLiteral(host)) {
        d_->addresses = { *literal };
        d_->remoteAddr = literal->IPv4();
        return;
    }
    auto result = WaitForLookup([resolve = Winsock().HostResolver(), host] {
        THostLookup found = resolve(host);
        return TLookupResult { found.error, 0,
            found.error == 0 ? found.All() : std::vector<TSocketAddress>() };
    });
    if (result && result->error != 0)
        RaiseSocketError(result->error);
    if (d_->timedOut)
        RaiseTimedOut();
    if (d_->canceled)
        RaiseCanceled();
    std::erase_if(result->addresses, [](const TSocketAddress& address) {
        return address.Family() != AF_INET && address.Family() != AF_INET6;
    });
    if (result->addresses.empty())
        RaiseSocketError(LoadResString(SErrorResolvingHost));
    d_->addresses = std::move(result->addresses);
    d_->looked = true;
    NoteAddressInUse();
}

// RemoteAddress and RemoteAddr follow the address in use.
void TktSocket::NoteAddressInUse()
{
    const TSocketAddress& address = d_->addresses[d_->addressIndex];
    d_->remoteAddr = address.IPv4();
    if (d_->looked)
        d_->remoteAddress = address.Text();
}

void TktSocket::ResolvePort()
{
    if (int port = ServerPort()) {
        d_->port = uint16_t(port);
        return;
    }
    const std::string& service = UseTLS ? TLSServiceName : ServiceName;
    if (service.empty())
        RaiseSocketError(LoadResString(SServiceNameRequired));
    if (d_->canceled)
        RaiseCanceled();
    auto result = WaitForLookup([resolve = Winsock().ServiceResolver(), name = service] {
        TServiceLookup found = resolve(name, "tcp");
        return TLookupResult { found.error, found.port, {} };
    });
    if (!d_->timedOut && !(result && result->error != 0)) {
        if (d_->canceled)
            RaiseCanceled();
        d_->port = uint16_t(result->value);
        return;
    }
    // The fallback settles the failed (or timed-out) lookup; its time-out
    // must not end the connect that follows.
    d_->timedOut = false;
    d_->port = UseTLS ? TLSDefaultPort : DefaultPort;
}

void TktSocket::CreateSocket()
{
    int error = 0;
    if (!CreateSocketFrom(0, error))
        RaiseSocketError(error);
}

bool TktSocket::CreateSocketFrom(size_t addressIndex, int& error)
{
    for (; addressIndex < d_->addresses.size(); ++addressIndex) {
        TSocket s = Winsock().socket(d_->addresses[addressIndex].Family(), SOCK_STREAM, 0);
        if (s != INVALID_SOCKET) {
            d_->socket = s;
            d_->addressIndex = addressIndex;
            NoteAddressInUse();
            return true;
        }
        // This family may be switched off here; the next address may do.
        error = Winsock().WSAGetLastError();
    }
    return false;
}

void TktSocket::DropSocket()
{
    d_->DropNotifiers();
    if (d_->socket != INVALID_SOCKET)
        Winsock().closesocket(d_->socket);
    d_->socket = INVALID_SOCKET;
}

// ---- Connect, send, receive ------------------------------------------------

void TktSocket::WatchSocket()
{
    d_->DropNotifiers();
    d_->readNotifier = std::make_unique<QSocketNotifier>(d_->socket, QSocketNotifier::Read);
    d_->readNotifier->setEnabled(false);
    // Readiness is level-triggered: a notifier stays off between waits, or
    // unread data would keep the event loop busy.
    QObject::connect(d_->readNotifier.get(), &QSocketNotifier::activated, &d_->window, [this] {
        d_->dataReady = true;
        d_->readNotifier->setEnabled(false);
    });
    d_->writeNotifier = std::make_unique<QSocketNotifier>(d_->socket, QSocketNotifier::Write);
    d_->writeNotifier->setEnabled(false);
    QObject::connect(d_->writeNotifier.get(), &QSocketNotifier::activated, &d_->window, [this] {
        d_->writeNotifier->setEnabled(false);
        d_->writeReady = true;
        if (d_->connectDone)
            return;
        try {
            d_->errorCode = Winsock().GetSocketError(d_->socket);
        } catch (const Exception&) {
            // Nothing may escape into the event loop; the binding is gone.
            d_->errorCode = WSANOTINITIALISED;
        }
        d_->connectDone = d_->errorCode == 0;
    });
}

void TktSocket::ConnectSocket()
{
    if (d_->canceled)
        RaiseCanceled();
    RequireConnected();
    // One time-out for all addresses: a server whose addresses all stay
    // silent must not keep the user waiting once per address.
    StartTimer();
    int code;
    while ((code = ConnectToCurrentAddress()) != 0) {
        int socketError = 0;
        DropSocket();
        if (!CreateSocketFrom(d_->addressIndex + 1, socketError))
            RaiseConnectionError(code);
    }
    StopTimer();
    if (UseTLS)
        StartTLS();
    if (OnConnected)
        OnConnected(this);
}

int TktSocket::ConnectToCurrentAddress()
{
    TSocketAddress address = d_->addresses[d_->addressIndex];
    address.SetPort(d_->port);
    WatchSocket();
    d_->connectDone = false;
    d_->errorCode = 0;
    if (Winsock().connect(d_->socket, address) == 0) {
        d_->connectDone = true;
    } else {
        int code = Winsock().WSAGetLastError();
        if (code != WSAEWOULDBLOCK)
            return code;
        d_->writeNotifier->setEnabled(true);
    }
    WaitUntil([this] {
        return d_->connectDone || d_->errorCode != 0 || d_->canceled || d_->timedOut || !Connected();
    });
    // A refusal moves on to the next address; Cancel, the time-out or a
    // Close from a handler end the attempt.
    if (d_->errorCode != 0 && !d_->canceled && !d_->timedOut && Connected())
        return d_->errorCode;
    RaiseWaitOutcome();
    return 0;
}

void TktSocket::StartTLS()
{
    d_->peerFingerprint.clear();
    d_->tls = std::make_unique<TktTlsSession>(d_->socket, ServerHost(), TrustedFingerprint);
    // The whole handshake must be done within TimeOut.
    StartTimer();
    TTlsStatus status;
    while ((status = d_->tls->Handshake()) != TTlsStatus::Done) {
        d_->peerFingerprint = d_->tls->PeerFingerprint();
        WaitForTLS(status);
    }
    StopTimer();
    d_->peerFingerprint = d_->tls->PeerFingerprint();
}

void TktSocket::WaitForTLS(TTlsStatus status)
{
    if (status == TTlsStatus::WantRead)
        WaitForData();
    else if (status == TTlsStatus::WantWrite)
        WaitForWritable();
    else
        RaiseTLSFailure(status);
}

void TktSocket::RaiseTLSFailure(TTlsStatus status)
{
    const TktTlsSession& tls = *d_->tls;
    if (status == TTlsStatus::Closed)
        RaiseConnectionError(Format(LoadResString(STLSFailed).c_str(), "the server closed the connection"));
    if (tls.SocketError() != 0)
        RaiseConnectionError(tls.SocketError());
    if (!tls.CertificateRefused())
        RaiseConnectionError(Format(LoadResString(STLSFailed).c_str(), tls.FailureText().c_str()));
    // Close frees the session.
    std::string reason = tls.RefusalReason();
    std::string fingerprint = tls.PeerFingerprint();
    std::string text
        = FireError(Format(LoadResString(SCertificateRefused).c_str(), ServerHost().c_str(), reason.c_str()));
    Close();
    throw EUntrustedCertificateError(text, reason, fingerprint);
}

void TktSocket::WaitForWritable()
{
    d_->writeReady = false;
    d_->writeNotifier->setEnabled(true);
    WaitUntil([this] { return d_->writeReady || d_->canceled || d_->timedOut || !Connected(); });
    if (d_->writeNotifier)
        d_->writeNotifier->setEnabled(false);
    RaiseWaitOutcome();
}

void TktSocket::SendLine(std::string_view line)
{
    SendLineShown(line, line);
}

void TktSocket::SendLineShown(std::string_view line, std::string_view shown)
{
    RequireSession();
    std::string data(line);
    data += "\r\n";
    if (d_->deflater)
        data = d_->deflater->Deflate(data);
    StartTimer();
    size_t sent = 0;
    while (sent < data.size())
        sent += SendSome(std::string_view(data).substr(sent));
    StopTimer();
    AddToLog(std::string(shown));
    if (OnLineSent)
        OnLineSent(this, std::string(shown));
}

// Sends what the connection takes now; when it takes nothing, waits until
// it can take more and returns 0.
size_t TktSocket::SendSome(std::string_view bytes)
{
    if (d_->tls) {
        size_t count = 0;
        const TTlsStatus status = d_->tls->Write(bytes.data(), bytes.size(), count);
        if (status != TTlsStatus::Done)
            WaitForTLS(status);
        return count;
    }
    long count = Winsock().send(d_->socket, bytes.data(), bytes.size());
    if (count >= 0)
        return size_t(count);
    int code = Winsock().WSAGetLastError();
    if (code != WSAEWOULDBLOCK)
        RaiseConnectionError(code);
    WaitForWritable();
    return 0;
}

void TktSocket::WaitForData()
{
    d_->dataReady = false;
    if (!d_->canceled && !d_->timedOut && Connected())
        d_->readNotifier->setEnabled(true);
    WaitUntil([this] { return d_->dataReady || d_->canceled || d_->timedOut || !Connected(); });
    if (d_->readNotifier)
        d_->readNotifier->setEnabled(false);
    RaiseWaitOutcome();
}

void TktSocket::StartCompression()
{
    RequireSession();
    d_->deflater = std::make_unique<TktDeflater>();
    StartInflating(false);
}

bool TktSocket::Compressed() const
{
    return d_->deflater != nullptr;
}

void TktSocket::ExpectCompressedBlock()
{
    RequireSession();
    if (Compressed())
        RaiseSocketError(std::string("A compressed block cannot come on a compressed connection"));
    StartInflating(true);
}

// What arrived after the reply line read last is the first of the
// compressed bytes.
void TktSocket::StartInflating(bool block)
{
    d_->inflater
        = std::make_unique<TktInflater>(block ? TktInflater::TFormat::Wrapped : TktInflater::TFormat::Raw);
    d_->inflatingBlock = block;
    d_->inflater->Feed(d_->received.Pending());
    d_->received.Clear();
}

// Inflated bytes held back by the last step's limit, or compressed ones not
// yet inflated, are announced by no socket notification.
bool TktSocket::ReceiveMore()
{
    if (!d_->InflaterHasWork())
        WaitForData();
    return FillReceiveBuffer();
}

// Each step inflates at most one receive block, so the bounds of a line or
// a block are checked before the next.
bool TktSocket::FillReceiveBuffer()
{
    if (!d_->inflater)
        return ReadFromConnection(d_->received);
    TktInflater& inflater = *d_->inflater;
    if (!inflater.HasWork()) {
        if (!ReadFromConnection(d_->wire))
            return false;
        inflater.Feed(d_->wire.Pending());
        d_->wire.Clear();
    }
    const size_t before = d_->received.Size();
    if (!inflater.Inflate(d_->received, kReceiveBlock))
        RaiseConnectionError("The server's compressed data is corrupt (" + inflater.Failure() + ")");
    // After a block's stream the bytes pass as they came.
    if (d_->inflatingBlock && inflater.Ended() && !inflater.HasWork())
        d_->inflater.reset();
    return d_->received.Size() != before;
}

bool TktSocket::ReadFromConnection(TReceiveBuffer& buffer)
{
    if (d_->tls)
        return FillReceiveBufferFromTLS(buffer);
    long count = Winsock().recv(d_->socket, buffer.Prepare(kReceiveBlock), kReceiveBlock);
    buffer.Commit(size_t(std::max(count, 0L)));
    if (count > 0) {
        Winsock().QuickAck(d_->socket);
        return true;
    }
    if (count == 0) {
        d_->peerClosed = true;
        return false;
    }
    int code = Winsock().WSAGetLastError();
    if (code == WSAEWOULDBLOCK)
        return false;
    RaiseConnectionError(code);
}

// Takes everything the session has decrypted: bytes it holds are announced
// by no socket notification.
bool TktSocket::FillReceiveBufferFromTLS(TReceiveBuffer& buffer)
{
    bool received = false;
    while (true) {
        size_t count = 0;
        const TTlsStatus status = d_->tls->Read(buffer.Prepare(kReceiveBlock), kReceiveBlock, count);
        buffer.Commit(count);
        if (status == TTlsStatus::Done) {
            received = true;
            if (!d_->tls->HasPending())
                break;
        } else if (status == TTlsStatus::WantWrite) {
            WaitForWritable();
        } else if (status == TTlsStatus::WantRead) {
            break;
        } else if (status == TTlsStatus::Closed) {
            d_->peerClosed = true;
            break;
        } else {
            RaiseTLSFailure(status);
        }
    }
    if (received)
        Winsock().QuickAck(d_->socket);
    return received;
}

// A line that outgrows the limit would keep the rest of the dialogue from
// being read in step, so the connection is given up.
bool TktSocket::TakeLine(std::string& line)
{
    switch (d_->received.TakeLine(line, MaxReplyLine)) {
    case TReceiveBuffer::TTake::Taken:
        return true;
    case TReceiveBuffer::TTake::Incomplete:
        return false;
    case TReceiveBuffer::TTake::TooLong:
        break;
    }
    RaiseConnectionError(Format("Reply line longer than %zu bytes", MaxReplyLine));
}

void TktSocket::ReadReply(std::string& reply)
{
    RequireSession();
    // Stays empty unless a whole line arrives.
    std::string line;
    bool complete = false;
    StartTimer();
    try {
        while (!(complete = TakeLine(line)) && !d_->peerClosed)
            ReceiveMore();
        reply = line;
        if (complete)
            CheckReply(reply);
    } catch (...) {
        FinishReply(line);
        throw;
    }
    FinishReply(line);
    // The peer is gone: the next Connect must start a new connection.
    if (!complete)
        Close();
}

bool TktSocket::ReadReplyWithin(std::string& reply, int seconds)
{
    struct TRestore {
        TktSocket& socket;
        int32_t timeOut;
        ~TRestore()
        {
            socket.TimeOut = timeOut;
            socket.d_->quietTimeOut = false;
        }
    } restore { *this, TimeOut };
    TimeOut = std::min(TimeOut, seconds);
    d_->quietTimeOut = true;
    try {
        ReadReply(reply);
    } catch (const ETimedOutError&) {
        return false;
    }
    return true;
}

void TktSocket::FinishReply(const std::string& reply)
{
    StopTimer();
    AddToLog(reply);
    if (OnLineReceived)
        OnLineReceived(this, reply);
}

void TktSocket::FireProgress(TStream& stream, int64_t expectedBytes)
{
    if (expectedBytes <= 0 || !OnProgress)
        return;
    // The size is an estimate (a header's line or byte count, which a
    // server may get wrong): an article longer than it stays at 100%.
    const double percent = double(stream.Position()) * 100.0 / double(expectedBytes);
    OnProgress(this, int(std::llround(std::min(percent, 100.0))));
}

void TktSocket::ReadMultiLine(
    TStream& stream, int expectedSize, int64_t maxSize, const TExpectedSizeProbe& probe)
{
    RequireSession();
    const auto toBytes
        = [this](int size) { return SizeInLines && size != -1 ? size * kBytesPerLine : int64_t(size); };
    int64_t expectedBytes = toBytes(expectedSize);
    bool sizeKnown = expectedSize != -1 || !probe;
    const int64_t first = stream.Position();
    std::string lines;
    StartTimer();
    try {
        bool chunkArrived = false;
        while (true) {
            // Data that came in with the reply line counts as progress too,
            // or a small article would report none.
            const int64_t before = stream.Position();
            lines.clear();
            const bool ended = d_->received.TakeDataLines(lines);
            // Each chunk restarts the time-out, so only the size can stop a
            // block that never ends; a chunk beyond the bound is not kept.
            const int64_t taken = before - first + int64_t(lines.size());
            const int64_t held = taken + (ended ? 0 : int64_t(d_->received.PendingDataBytes()));
            if (held > maxSize)
                RaiseConnectionError(
                    Format("Data block larger than %lld bytes", static_cast<long long>(maxSize)));
            MakeRoomWithinBound(stream, first, taken, maxSize);
            stream.WriteString(lines);
            if (!sizeKnown) {
                if (const std::optional<int> size = probe()) {
                    sizeKnown = true;
                    expectedBytes = toBytes(*size);
                }
            }
            if (chunkArrived || stream.Position() != before)
                FireProgress(stream, expectedBytes);
            if (ended)
                break;
            // A block cut short by the server is incomplete data.
            if (d_->peerClosed)
                RaiseConnectionError(WSAECONNRESET);
            chunkArrived = ReceiveMore();
            // TimeOut bounds the silence between chunks, not the block.
            if (chunkArrived)
                StartTimer();
        }
    } catch (...) {
        StopTimer();
        throw;
    }
    StopTimer();
}

// ---- Close, cancel, log ----------------------------------------------------

void TktSocket::Close()
{
    if (Connected()) {
        if (OnClosing)
            OnClosing(this);
        d_->DropNotifiers();
        if (d_->tls) {
            d_->tls->Shutdown();
            d_->tls.reset();
        }
        TSocket s = d_->socket;
        d_->socket = INVALID_SOCKET;
        d_->received.Clear();
        d_->DropCompression();
        Winsock().closesocket(s);
        if (OnClosed)
            OnClosed(this);
    }
    if (ras_)
        ras_->Disconnect();
}

void TktSocket::Cancel()
{
    d_->canceled = true;
    if (OnCancel)
        OnCancel(this);
    d_->AbandonLookup();
    Close();
    // A wait further down the stack re-tests its flags.
    if (auto* dispatcher = OwnDispatcher())
        dispatcher->wakeUp();
}

void TktSocket::CancelForGood()
{
    d_->canceledForGood = true;
    if (auto* dispatcher = OwnDispatcher())
        dispatcher->wakeUp();
}

void TktSocket::AddToLog(const std::string& line)
{
    if (!LogFileName.empty())
        Log.Add(line);
}

void TktSocket::SaveLog() noexcept
{
    if (LogFileName.empty())
        return;
    try {
        Log.SaveToFile(LogFileName);
    } catch (const std::exception&) {
        // A log that cannot be written must not take the program down.
    }
}

} // namespace lumigrab
