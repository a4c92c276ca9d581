// A TLS client session (OpenSSL) over a connected non-blocking socket.
//
// The session never waits: every step reports whether it needs the socket
// readable or writable before it can go on, and the socket client waits for
// that in its usual way, so the time-out, Cancel and the event loop work over
// TLS as they do without it. The socket's bytes go through the socket
// binding, so unloading the binding stops TLS traffic too.
//
// The server's certificate is checked against the system's trusted
// authorities (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR
// apply) and must be valid for the host name or dotted address connected
// to. A certificate whose SHA-256 fingerprint the user chose to trust is
// accepted whatever those checks say. A refused certificate ends the
// handshake before any protocol data is sent.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "transport/ktwsock.h"

namespace lumigrab {

// What a step of the session came to.
enum class TTlsStatus {
    Done,
    // Call again once the socket is readable (or writable).
    WantRead,
    WantWrite,
    // The server ended the session.
    Closed,
    Failed,
};

// The session's OpenSSL objects and outcomes (kttls.cpp).
struct TTlsState;

class TktTlsSession {
public:
    // host: what the certificate must be valid for (a name or a dotted
    // address); also sent as the server name unless it is an address.
    // trustedFingerprint: a SHA-256 fingerprint (any case, colons optional)
    // accepted without further checks; empty for none.
    TktTlsSession(TSocket socket, std::string host, std::string_view trustedFingerprint);
    ~TktTlsSession();
    TktTlsSession(const TktTlsSession&) = delete;
    TktTlsSession& operator=(const TktTlsSession&) = delete;

    // Repeat until it no longer asks for the socket.
    TTlsStatus Handshake();
    // count: the bytes moved when Done.
    TTlsStatus Read(char* buffer, size_t length, size_t& count);
    TTlsStatus Write(const char* buffer, size_t length, size_t& count);
    // Received bytes held inside the session: no socket notification will
    // announce them.
    bool HasPending() const;
    // Tells the server the session ends, as far as that goes without
    // waiting; nothing after a failure.
    void Shutdown() noexcept;

    // After Failed: the socket's error code when the socket failed, else 0.
    int SocketError() const;
    // After Failed: why, for the user ("certificate verify failed").
    const std::string& FailureText() const;
    // After Failed: the server's certificate was refused, for RefusalReason
    // ("it has expired", "its issuer is unknown", "it is not valid for
    // news.example.org").
    bool CertificateRefused() const;
    const std::string& RefusalReason() const;
    // The SHA-256 fingerprint of the server's certificate, as
    // "AB:CD:...:EF"; empty until the server has shown one.
    const std::string& PeerFingerprint() const;

private:
    std::unique_ptr<TTlsState> d_;

    TTlsStatus Outcome(int result);
};

// A SHA-256 fingerprint in the form PeerFingerprint gives, from one written
// in either case, with or without colons or blanks between the bytes; empty
// when the text is not 32 bytes of hexadecimal.
std::string NormalizeFingerprint(std::string_view text);

} // namespace lumigrab
