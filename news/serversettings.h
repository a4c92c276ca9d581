// How one news server is reached: its address, TLS and the certificate the
// user trusts for it, the account, how many connections may fetch at once,
// whether the walk's connection is compressed, and the protocol log. One plain value, held by the client (TmsNNTP), the
// pool of further connections (TFetchSettings), the Setup dialog's values
// and lumigrab-harvest's options, so that a new setting is added here and
// where it is shown, and nowhere else.
#pragma once

#include <string>

namespace lumigrab {

// News providers allow some 8 to 50 connections per account.
constexpr int MinConnections = 1;
constexpr int MaxConnections = 50;
// What the window's Setup offers until the user chooses.
constexpr int DefaultConnections = 4;

struct TServerSettings {
    // A host, or a host, ":" and a port (see TktSocket::Server).
    std::string Server;
    // Implicit TLS, on port 563 unless Server names one.
    bool UseTLS = false;
    // The SHA-256 fingerprint of the one certificate of this server the user
    // chose to trust beyond the system's ("AB:CD:..."); empty for none.
    std::string TrustedFingerprint;
    // The account; no login while UserName is empty.
    std::string UserName;
    std::string Password;
    // Connections in all (MinConnections to MaxConnections): the client's
    // own and, beyond one, a pool of further ones that fetch a Go's
    // articles.
    int Connections = 1;
    // When not empty, the protocol log is written here; a pool's further
    // connections write theirs beside it, numbered.
    std::string LogFileName;
    // The connection that walks headers is compressed where the server
    // offers it (TmsNNTP::Compress): overview text packs four- to fivefold.
    // Connections that only fetch articles never are: yEnc does not shrink.
    // Off on a bare client; the window's Setup and lumigrab-harvest turn it
    // on unless told not to.
    bool CompressHeaders = false;

    bool operator==(const TServerSettings&) const = default;
};

// Whether a connection made with one is as good as one made with the
// other: the same server, TLS, account, log and compression. The count of connections
// matters to the next Go only, and a connection whose certificate was
// accepted need not end over the fingerprint trusted for the next.
bool SameConnection(const TServerSettings& one, const TServerSettings& other);

} // namespace lumigrab
