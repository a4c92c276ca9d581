// Throwaway certificates and a TLS news server on loopback for the
// transport and news client tests (OpenSSL's server side).
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/script_server.h"

namespace lumigrab::testing {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct SslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// A key and its certificate; the issuer signs the certificates it makes.
class TestIdentity {
public:
    // A self-signed authority.
    static TestIdentity Authority(const std::string& name)
    {
        TestIdentity authority;
        authority.key_.reset(EVP_EC_gen("P-256"));
        authority.certificate_ = authority.MakeCertificate(name, authority, 0, 3600,
            { { "basicConstraints", "critical,CA:TRUE" }, { "keyUsage", "critical,keyCertSign" } });
        return authority;
    }

    // A server certificate for the subject alternative names given
    // ("DNS:localhost,IP:127.0.0.1"), valid from notBefore to notAfter
    // seconds from now.
    TestIdentity Issue(const std::string& altNames, long notBefore = -60, long notAfter = 3600) const
    {
        TestIdentity server;
        server.key_.reset(EVP_EC_gen("P-256"));
        server.certificate_ = server.MakeCertificate("Lumigrab test server", *this, notBefore, notAfter,
            { { "basicConstraints", "CA:FALSE" }, { "subjectAltName", altNames } });
        return server;
    }

    EVP_PKEY* Key() const { return key_.get(); }
    X509* Certificate() const { return certificate_.get(); }

    // The SHA-256 of the certificate's DER bytes, hexadecimal, lower case,
    // without separators.
    std::string Sha256Hex() const
    {
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate_.get(), &der);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        EVP_Digest(der, size_t(length), digest, &digestLength, EVP_sha256(), nullptr);
        OPENSSL_free(der);
        std::string hex;
        for (unsigned int i = 0; i < digestLength; ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", digest[i]);
            hex += pair;
        }
        return hex;
    }

    void WritePem(const std::filesystem::path& file) const
    {
        FILE* out = std::fopen(file.c_str(), "w");
        if (!out || !PEM_write_X509(out, certificate_.get()))
            throw std::runtime_error("cannot write " + file.string());
        std::fclose(out);
    }

private:
    PkeyPtr key_;
    X509Ptr certificate_;

    X509Ptr MakeCertificate(const std::string& name, const TestIdentity& issuer, long notBefore,
        long notAfter, const std::vector<std::pair<std::string, std::string>>& extensions)
    {
        static int serial = 1;
        X509Ptr certificate(X509_new());
        X509* c = certificate.get();
        X509_set_version(c, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(c), serial++);
        X509_gmtime_adj(X509_getm_notBefore(c), notBefore);
        X509_gmtime_adj(X509_getm_notAfter(c), notAfter);
        X509_set_pubkey(c, key_.get());
        X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC,
            reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
        X509* issuerCertificate = &issuer == this ? c : issuer.Certificate();
        X509_set_issuer_name(c, X509_get_subject_name(issuerCertificate));
        X509V3_CTX context;
        X509V3_set_ctx(&context, issuerCertificate, c, nullptr, nullptr, 0);
        for (const auto& [extension, value] : extensions) {
            X509_EXTENSION* added = X509V3_EXT_nconf(nullptr, &context, extension.c_str(), value.c_str());
            if (!added)
                throw std::runtime_error("bad extension " + extension);
            X509_add_ext(c, added, -1);
            X509_EXTENSION_free(added);
        }
        if (!X509_sign(c, issuer.Key() ? issuer.Key() : key_.get(), EVP_sha256()))
            throw std::runtime_error("cannot sign");
        return certificate;
    }
};

// Serves one client at a time: the TLS handshake with the identity's
// certificate, the greeting, then the script's reply to each command line.
class TlsScriptServer {
public:
    // wrap, when set, makes the channel to converse over of the TLS one.
    TlsScriptServer(const TestIdentity& identity, ReplyScript script, std::string greeting,
        const std::string& host = "127.0.0.1", const std::function<ChannelOpener(ChannelOpener)>& wrap = {})
        : context_(NewContext(identity))
        , server_(std::move(script), std::move(greeting), Wrapped(wrap), host)
    {
    }

    TlsScriptServer(const TlsScriptServer&) = delete;
    TlsScriptServer& operator=(const TlsScriptServer&) = delete;

    uint16_t Port() const { return server_.Port(); }
    std::string Address() const { return server_.Address(); }

    // Command lines received, without line ends.
    std::vector<std::string> Lines() const { return server_.Lines(); }
    int Handshakes() const
    {
        std::lock_guard lock(mutex_);
        return handshakes_;
    }
    // The name the client asked for (SNI) in the last handshake.
    std::string ServerName() const
    {
        std::lock_guard lock(mutex_);
        return serverName_;
    }

private:
    std::unique_ptr<SSL_CTX, SslContextFree> context_;
    mutable std::mutex mutex_;
    int handshakes_ = 0;
    std::string serverName_;
    // Last, so that its thread stops before the context and the counts go.
    ScriptServer server_;

    ChannelOpener Wrapped(const std::function<ChannelOpener(ChannelOpener)>& wrap)
    {
        ChannelOpener secure = [this](int client, const std::function<void(const ByteChannel&)>& converse) {
            Secure(client, converse);
        };
        return wrap ? wrap(std::move(secure)) : secure;
    }

    static SSL_CTX* NewContext(const TestIdentity& identity)
    {
        // OpenSSL writes to the socket with write(): a client that has gone
        // must not take the test program down.
        std::signal(SIGPIPE, SIG_IGN);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context, identity.Certificate());
        SSL_CTX_use_PrivateKey(context, identity.Key());
        return context;
    }

    void Secure(int client, const std::function<void(const ByteChannel&)>& converse)
    {
        SSL* ssl = SSL_new(context_.get());
        SSL_set_fd(ssl, client);
        if (SSL_accept(ssl) == 1) {
            {
                std::lock_guard lock(mutex_);
                ++handshakes_;
                const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
                serverName_ = name ? name : "";
            }
            converse({ [ssl](char* buffer, size_t size) { return long(SSL_read(ssl, buffer, int(size))); },
                [ssl](std::string_view bytes) {
                    return bytes.empty()
                        || SSL_write(ssl, bytes.data(), int(bytes.size())) == int(bytes.size());
                } });
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ERR_clear_error();
    }
};

} // namespace lumigrab::testing
