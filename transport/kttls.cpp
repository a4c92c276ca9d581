#include "transport/kttls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <exception>
#include <utility>

#include "base/sysutils.h"

namespace lumigrab {

struct TTlsState {
    TSocket socket = INVALID_SOCKET;
    std::string host;
    std::string trustedFingerprint;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    // After a fatal error OpenSSL forbids a shutdown.
    bool fatal = false;
    int socketError = 0;
    // An exception of the socket binding, held while OpenSSL's C code
    // unwinds and raised again once it has returned.
    std::exception_ptr pendingException;
    std::string failure;
    std::string refusal;
    std::string fingerprint;

    ~TTlsState()
    {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }

    void RaisePendingException()
    {
        if (auto pending = std::exchange(pendingException, nullptr))
            std::rethrow_exception(pending);
    }
};

namespace {

// The earliest error OpenSSL queued, for the user; the queue is emptied.
std::string TakeErrorText()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "unknown TLS error";
}

bool IsAddress(const std::string& host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string Sha256Fingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!X509_digest(certificate, EVP_sha256(), digest, &length))
        return {};
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0)
            text += ':';
        text += Format("%02X", digest[i]);
    }
    return text;
}

std::string RefusalReason(long code, const std::string& host)
{
    switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "it has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "it is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "it is not valid for " + host;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "its issuer is unknown";
    case X509_V_ERR_CERT_REVOKED:
        return "it has been revoked";
    default:
        return X509_verify_cert_error_string(code);
    }
}

TTlsState* SessionOf(BIO* bio)
{
    return static_cast<TTlsState*>(BIO_get_data(bio));
}

// The socket's bytes travel through the binding. Its exceptions must not
// cross OpenSSL's C frames; they are kept and raised after OpenSSL returns.
int BioRead(BIO* bio, char* buffer, int length)
{
    TTlsState* session = SessionOf(bio);
    BIO_clear_retry_flags(bio);
    try {
        const long count = Winsock().recv(session->socket, buffer, size_t(length));
        if (count >= 0)
            return int(count);
        const int code = Winsock().WSAGetLastError();
        if (code == WSAEWOULDBLOCK)
            BIO_set_retry_read(bio);
        else
            session->socketError = code;
    } catch (...) {
        session->pendingException = std::current_exception();
    }
    return -1;
}

int BioWrite(BIO* bio, const char* buffer, int length)
{
    TTlsState* session = SessionOf(bio);
    BIO_clear_retry_flags(bio);
    try {
        const long count = Winsock().send(session->socket, buffer, size_t(length));
        if (count >= 0)
            return int(count);
        const int code = Winsock().WSAGetLastError();
        if (code == WSAEWOULDBLOCK)
            BIO_set_retry_write(bio);
        else
            session->socketError = code;
    } catch (...) {
        session->pendingException = std::current_exception();
    }
    return -1;
}

long BioControl(BIO*, int command, long, void*)
{
    // Writes go straight to the socket: there is nothing to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketBioMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* created = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lumigrab socket");
        BIO_meth_set_read(created, BioRead);
        BIO_meth_set_write(created, BioWrite);
        BIO_meth_set_ctrl(created, BioControl);
        return created;
    }();
    return method;
}

int VerifyCertificate(int preverified, X509_STORE_CTX* store)
{
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* session = static_cast<TTlsState*>(SSL_get_app_data(ssl));
    if (session->fingerprint.empty()) {
        if (X509* certificate = X509_STORE_CTX_get0_cert(store))
            session->fingerprint = Sha256Fingerprint(certificate);
    }
    if (preverified)
        return 1;
    // The user has seen this very certificate and trusts it.
    if (!session->trustedFingerprint.empty() && session->trustedFingerprint == session->fingerprint)
        return 1;
    if (session->refusal.empty())
        session->refusal = RefusalReason(X509_STORE_CTX_get_error(store), session->host);
    return 0;
}

} // namespace

TktTlsSession::TktTlsSession(TSocket socket, std::string host, std::string_view trustedFingerprint)
    : d_(std::make_unique<TTlsState>())
{
    d_->socket = socket;
    d_->host = std::move(host);
    d_->trustedFingerprint = NormalizeFingerprint(trustedFingerprint);
    ERR_clear_error();
    d_->context = SSL_CTX_new(TLS_client_method());
    if (d_->context) {
        SSL_CTX_set_min_proto_version(d_->context, TLS1_2_VERSION);
        // The environment is read here, so SSL_CERT_FILE and SSL_CERT_DIR
        // count from the next connection on.
        SSL_CTX_set_default_verify_paths(d_->context);
        SSL_CTX_set_verify(d_->context, SSL_VERIFY_PEER, VerifyCertificate);
        // News servers often hang up without a closing alert; the protocol
        // knows by itself whether a reply or block was complete.
        SSL_CTX_set_options(d_->context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(d_->context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        d_->ssl = SSL_new(d_->context);
    }
    BIO* bio = d_->ssl ? BIO_new(SocketBioMethod()) : nullptr;
    if (!bio) {
        d_->fatal = true;
        d_->failure = TakeErrorText();
        return;
    }
    BIO_set_data(bio, d_.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(d_->ssl, bio, bio);
    SSL_set_app_data(d_->ssl, d_.get());
    X509_VERIFY_PARAM* check = SSL_get0_param(d_->ssl);
    if (IsAddress(d_->host)) {
        X509_VERIFY_PARAM_set1_ip_asc(check, d_->host.c_str());
    } else {
        SSL_set_tlsext_host_name(d_->ssl, d_->host.c_str());
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(d_->ssl, d_->host.c_str());
    }
}

TktTlsSession::~TktTlsSession() = default;

TTlsStatus TktTlsSession::Outcome(int result)
{
    d_->RaisePendingException();
    switch (SSL_get_error(d_->ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return TTlsStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TTlsStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return TTlsStatus::Closed;
    case SSL_ERROR_SYSCALL:
        d_->fatal = true;
        if (d_->socketError != 0) {
            ERR_clear_error();
            d_->failure = SocketErrorText(d_->socketError);
            return TTlsStatus::Failed;
        }
        if (ERR_peek_error() == 0)
            return TTlsStatus::Closed;
        break;
    default:
        d_->fatal = true;
        break;
    }
    d_->failure = TakeErrorText();
    return TTlsStatus::Failed;
}

TTlsStatus TktTlsSession::Handshake()
{
    if (d_->fatal)
        return TTlsStatus::Failed;
    ERR_clear_error();
    const int result = SSL_connect(d_->ssl);
    if (result == 1)
        return TTlsStatus::Done;
    return Outcome(result);
}

TTlsStatus TktTlsSession::Read(char* buffer, size_t length, size_t& count)
{
    count = 0;
    if (d_->fatal)
        return TTlsStatus::Failed;
    ERR_clear_error();
    const int result = SSL_read_ex(d_->ssl, buffer, length, &count);
    if (result == 1)
        return TTlsStatus::Done;
    return Outcome(result);
}

TTlsStatus TktTlsSession::Write(const char* buffer, size_t length, size_t& count)
{
    count = 0;
    if (d_->fatal)
        return TTlsStatus::Failed;
    ERR_clear_error();
    const int result = SSL_write_ex(d_->ssl, buffer, length, &count);
    if (result == 1)
        return TTlsStatus::Done;
    return Outcome(result);
}

bool TktTlsSession::HasPending() const
{
    return d_->ssl && !d_->fatal && SSL_has_pending(d_->ssl);
}

void TktTlsSession::Shutdown() noexcept
{
    if (d_->fatal || !d_->ssl || !SSL_is_init_finished(d_->ssl))
        return;
    ERR_clear_error();
    SSL_shutdown(d_->ssl);
    ERR_clear_error();
    d_->pendingException = nullptr;
    d_->fatal = true;
}

int TktTlsSession::SocketError() const
{
    return d_->socketError;
}

const std::string& TktTlsSession::FailureText() const
{
    return d_->failure;
}

bool TktTlsSession::CertificateRefused() const
{
    return !d_->refusal.empty();
}

const std::string& TktTlsSession::RefusalReason() const
{
    return d_->refusal;
}

const std::string& TktTlsSession::PeerFingerprint() const
{
    return d_->fingerprint;
}

std::string NormalizeFingerprint(std::string_view text)
{
    // "sha256 Fingerprint=AB:..." as the openssl command prints it.
    if (size_t equals = text.rfind('='); equals != std::string_view::npos)
        text.remove_prefix(equals + 1);
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += char(std::toupper(static_cast<unsigned char>(c)));
        else if (c != ':' && !std::isspace(static_cast<unsigned char>(c)))
            return {};
    }
    if (digits.size() != 64)
        return {};
    std::string normalized;
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i > 0)
            normalized += ':';
        normalized.append(digits, i, 2);
    }
    return normalized;
}

} // namespace lumigrab
