// A line-oriented TCP client that waits on the Qt event loop, so the user
// interface stays responsive (and Cancel can arrive) during every wait.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/classes.h"
#include "transport/ktaddress.h"
#include "transport/kttypes.h"

class QAbstractEventDispatcher;

namespace lumigrab {

class TktRas;
class TReceiveBuffer;
enum class TTlsStatus;

class TktSocket : public TComponent {
public:
    explicit TktSocket(TComponent* owner = nullptr);
    ~TktSocket() override;
    TktSocket(const TktSocket&) = delete;
    TktSocket& operator=(const TktSocket&) = delete;

    const char* ClassName() const override { return "TktSocket"; }

    // Longest reply line, line end included; RFC 3977 allows 512 bytes.
    static constexpr size_t MaxReplyLine = 64 * 1024;
    // Most bytes a data block may bring when its reader names no limit.
    static constexpr int64_t DefaultMaxBlockSize = int64_t(256) * 1024 * 1024;

    // A host, or a host, ":" and a port; the host is a name, a dotted IPv4
    // address or an IPv6 literal, in brackets when a port follows
    // ("[::1]:563"; "[::1]" and "::1" alone are taken too).
    std::string Server;
    // Seconds of silence a wait may last.
    int32_t TimeOut = 60;
    // When not empty, protocol lines are collected in Log and written to
    // this file when the component is destroyed.
    std::string LogFileName;
    // Used when neither Server nor the service lookup gives a port.
    uint16_t DefaultPort = 0;
    // The expected size given to ReadMultiLine counts lines, not bytes.
    bool SizeInLines = false;
    // Looked up for the port when Server names none.
    std::string ServiceName;

    // Implicit TLS: every connection starts with a TLS handshake, and all
    // waits, time-outs, Cancel and errors work as without it. The server's
    // certificate must be valid for ServerHost and issued by an authority
    // the system trusts (SSL_CERT_FILE / SSL_CERT_DIR apply), or have the
    // TrustedFingerprint. A refused certificate raises
    // EUntrustedCertificateError (after OnError) before anything is sent;
    // its Fingerprint() is what to show the user and, once the user trusts
    // it, to put into TrustedFingerprint for the next Connect.
    bool UseTLS = false;
    // Used instead of ServiceName and DefaultPort when UseTLS is set.
    std::string TLSServiceName;
    uint16_t TLSDefaultPort = 0;
    // The SHA-256 fingerprint of the one certificate of this server that the
    // user chose to trust ("AB:CD:...", any case, colons optional); empty
    // for none. Read at each Connect.
    std::string TrustedFingerprint;
    // Optional dial-up connection, dialed by Open and hung up by Close; not
    // owned, and forgotten when it is freed.
    TktRas* RAS() const { return ras_; }
    void SetRAS(TktRas* ras);

    TNotifyEvent OnOpen;
    TNotifyEvent OnClosing;
    TNotifyEvent OnClosed;
    TNotifyEvent OnCancel;
    TmsProgressEvent OnProgress;
    // Fired before each exception this layer raises.
    TmsErrorEvent OnError;
    TNotifyEvent OnConnected;
    TktLineEvent OnLineSent;
    TktLineEvent OnLineReceived;

    // Protocol lines sent and received (only while LogFileName is set).
    TStringList Log;

    // Program-wide: whether the socket binding is loaded.
    bool WinsockLoaded() const;
    void SetWinsockLoaded(bool loaded);

    bool Connected() const;

    // Dials RAS if set, fires OnOpen, resolves the server's addresses and
    // port and creates the socket. Connecting is ConnectSocket's job.
    virtual void Open();
    // Closes the socket (OnClosing, OnClosed) and hangs RAS up.
    virtual void Close();
    // Abandons whatever the component waits for and closes; the waiting
    // operation ends with ECanceledError.
    virtual void Cancel();
    // Cancel for good, from any thread: the wait in progress ends with
    // ECanceledError as soon as the component's thread sees it, and so
    // does every later wait (ResetState does not undo it). For a
    // connection that is given up, such as a pooled one at Stop: asked
    // before a connect, it ends the connect before the server is waited for.
    void CancelForGood();
    // Clears the sticky wait flags (Canceled, TimedOut and the rest).
    virtual void ResetState();

    // Connects to the server's addresses in turn until one accepts; the
    // time-out covers them all and Cancel ends the attempt at once. When
    // none accepts, the last one's error is raised.
    void ConnectSocket();
    // Sends line + CR LF.
    void SendLine(std::string_view line);
    // Reads one reply line without its line end and hands it to
    // CheckReply. A peer that closes before a whole line gives "" without
    // CheckReply. A line longer than MaxReplyLine raises ESocketError
    // "Reply line longer than 65536 bytes" and closes the connection.
    void ReadReply(std::string& reply);
    // Asked while a data block arrives without an expected size, after each
    // chunk: the size (as expectedSize counts it; -1 for none) once it can
    // tell, for instance from a header block that has arrived; nothing
    // while it cannot.
    using TExpectedSizeProbe = std::function<std::optional<int>()>;
    // Appends a data block up to (not including) its terminating "." line;
    // lines keep their CR LF, dot-stuffing is undone. expectedSize is -1
    // when unknown; with SizeInLines it counts lines. A block of more than
    // maxSize bytes raises ESocketError "Data block larger than N bytes"
    // and closes the connection; stream keeps what arrived before.
    void ReadMultiLine(TStream& stream, int expectedSize, int64_t maxSize = DefaultMaxBlockSize,
        const TExpectedSizeProbe& probe = {});

    // From the bytes after the reply line read last on, the connection is
    // one raw deflate stream each way (RFC 8054 COMPRESS DEFLATE, after its
    // 206): every line sent is compressed and flushed, and what arrives is
    // inflated before lines are read, within the same bounds as without.
    // The log and the line events show the lines as text. Close ends it.
    void StartCompression();
    bool Compressed() const;
    // The data block of the reply line read last comes as one zlib or gzip
    // stream (XFEATURE COMPRESS GZIP), inflated as ReadMultiLine reads it;
    // its terminating "." line may be inside the stream or follow it, and
    // bytes after the stream pass as they are. Not on a compressed
    // connection. Compressed data that is corrupt raises ESocketError "The
    // server's compressed data is corrupt (...)" and closes the connection.
    void ExpectCompressedBlock();

    // Called by ReadReply with every reply line; raises on an error reply.
    virtual void CheckReply(const std::string& reply) = 0;

    // Server's host: before its first ":", or inside its brackets.
    std::string ServerHost() const;
    // Server's port after the host's ":"; 0 when there is none or it is not
    // a port number.
    int ServerPort() const;

    // Results of Open's lookups.
    const std::string& LocalHostName() const;
    // The address a name lookup gave, as text ("192.0.2.1", "2001:db8::1"):
    // after ConnectSocket the one connected to, before it the first to
    // try. Empty when Server names an address.
    const std::string& RemoteAddress() const;
    // That address when it is IPv4, network byte order; 0 for IPv6.
    uint32_t RemoteAddr() const;
    // Port to connect to, host byte order.
    uint16_t Port() const;

    bool Canceled() const;
    bool TimedOut() const;

    // The SHA-256 fingerprint ("AB:CD:...:EF") of the certificate the server
    // showed in the last TLS handshake, accepted or not; empty before one.
    const std::string& PeerFingerprint() const;

protected:
    // Forgets RAS when that component is freed.
    void ComponentRemoved(TComponent* component) override;
    // Runs in Open right after OnOpen, before Server or anything else above
    // is read: a client that keeps how its server is reached in a value of
    // its own puts it into Server, UseTLS, TrustedFingerprint and
    // LogFileName here.
    virtual void TakeServerFields() { }

    // Raises "Server property is required" when Server is empty.
    void CheckServer();
    // Fires OnError with the code's text and raises ESocketError with the
    // (possibly changed) text. A code of 0 does nothing.
    void RaiseSocketError(int code);
    // The same for a text of the program's own.
    [[noreturn]] void RaiseSocketError(std::string text);
    // The same, but the timer of a wait in progress keeps running: for a
    // call refused because another operation waits.
    [[noreturn]] void RaiseSocketErrorKeepingTimer(std::string text);
    // Fires OnError, closes, raises ETimedOutError.
    [[noreturn]] void RaiseTimedOut();
    // Fires OnError, raises ECanceledError.
    [[noreturn]] void RaiseCanceled();
    // Sends line + CR LF, but logs and reports it (OnLineSent) as shown:
    // for lines that carry a secret.
    void SendLineShown(std::string_view line, std::string_view shown);

    // Stops the timer and fires OnError; returns the text as the handler
    // left it.
    std::string FireError(std::string text);

    // ReadReply for an answer nobody needs, such as the one to a farewell:
    // waits at most seconds (never longer than TimeOut). When nothing came
    // in time it closes the connection and returns false, without OnError.
    bool ReadReplyWithin(std::string& reply, int seconds);

private:
    struct Private;
    std::unique_ptr<Private> d_;
    TktRas* ras_ = nullptr;

    // A finished lookup: a Winsock error, or the addresses or port found.
    struct TLookupResult {
        int error = 0;
        uint32_t value = 0;
        std::vector<TSocketAddress> addresses;
    };

    void ResolveHost();
    void ResolvePort();
    // Runs a blocking lookup on a worker thread while the event loop runs;
    // nothing when the time-out or Cancel ended the wait first.
    std::optional<TLookupResult> WaitForLookup(std::function<TLookupResult()> work);
    void CreateSocket();
    // Makes a socket for the address at addressIndex, or the next one
    // whose family the system supports; false when none is left.
    bool CreateSocketFrom(size_t addressIndex, int& error);
    // Closes a socket that did not connect, without OnClosing/OnClosed.
    void DropSocket();
    // Connects the socket to the current address: 0 when it is
    // connected, else the error that refused it. Cancel and the time-out
    // raise.
    int ConnectToCurrentAddress();
    void NoteAddressInUse();
    void WatchSocket();
    void RequireConnected();
    void RequireSession();
    void RaiseWaitOutcome();
    // A failure after which the connection cannot be used: fires
    // OnError, closes, raises ESocketError.
    [[noreturn]] void RaiseConnectionError(int code);
    [[noreturn]] void RaiseConnectionError(std::string text);
    void StartTLS();
    // Waits for what the TLS session asked for, or raises its failure.
    void WaitForTLS(TTlsStatus status);
    [[noreturn]] void RaiseTLSFailure(TTlsStatus status);
    size_t SendSome(std::string_view bytes);
    // block: one zlib or gzip stream, else the connection's raw deflate.
    void StartInflating(bool block);
    // Waits for data unless bytes held need no wait, then takes them.
    bool ReceiveMore();
    // What arrived into buffer, TLS undone.
    bool ReadFromConnection(TReceiveBuffer& buffer);
    bool FillReceiveBufferFromTLS(TReceiveBuffer& buffer);
    // Only fires OnError.
    std::string FireErrorEvent(std::string text);
    QAbstractEventDispatcher* OwnDispatcher() const;
    void WaitUntil(const std::function<bool()>& done);
    void WaitForData();
    void WaitForWritable();
    bool FillReceiveBuffer();
    bool TakeLine(std::string& line);
    void FinishReply(const std::string& reply);
    void FireProgress(TStream& stream, int64_t expectedBytes);
    void StartTimer();
    void StopTimer();
    void TimerTick();
    void AddToLog(const std::string& line);
    void SaveLog() noexcept;
};

} // namespace lumigrab
