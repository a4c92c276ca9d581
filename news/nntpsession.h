// The news client's session on one connection: the greeting, the login
// (AUTHINFO USER/PASS, RFC 4643) and its retry after a 480, what the server
// offers (CAPABILITIES and LIST OVERVIEW.FMT, asked along with other
// commands), the switch to reader mode, and QUIT. Part of TmsNNTP, whose
// contract (msnntp.h) it keeps; it sends and reads on the client's
// connection.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "news/nntpreplies.h"
#include "news/overview.h"

namespace lumigrab {

class TmsNNTP;

// How the server shows its overview database, as far as the connection
// knows.
enum class TOverviewSupport {
    Unknown,
    // CAPABILITIES lists OVER; the first answer confirms it.
    TryOver,
    // No OVER listed; the first XOVER answer tells.
    TryXOver,
    Over,
    XOver,
    None,
};

// What the connection's server offers.
struct TServerOffer {
    TOverviewSupport overview = TOverviewSupport::Unknown;
    // The server announced RFC 3977 (VERSION 2), which must take pipelining.
    bool pipelining = false;
    bool listsOverviewFormat = false;
    // LISTGROUP takes a range of numbers (an RFC 3977 reader).
    bool listGroupRanges = false;
    // The server lists MODE-READER and not READER: reader commands may be
    // refused until MODE READER.
    bool offersReaderMode = false;
    // COMPRESS DEFLATE (RFC 8054) is listed.
    bool compressDeflate = false;
    // The fields of its overview lines; not known until asked for or until
    // the first overview answer.
    std::optional<TOverviewFormat> overviewFormat;
};

// What a CAPABILITIES answer offers (RFC 3977 5.2), the overview format
// aside: the overview TryOver when it lists OVER, else TryXOver. Any reply
// but 101 (a server that knows no CAPABILITIES) lists nothing.
TServerOffer OfferOfCapabilities(const TAnswer& answer);

class TNntpSession {
public:
    explicit TNntpSession(TmsNNTP& client);
    TNntpSession(const TNntpSession&) = delete;
    TNntpSession& operator=(const TNntpSession&) = delete;

    // Connects the socket, reads the greeting, logs in when the client has
    // a UserName and, with UseOverview, asks what the server offers; with
    // Compress as well, compresses the connection before anything else.
    void Start();
    // Sends QUIT and closes; a reply other than 205 is out of step.
    void Quit();
    // Forgets all of the connection's state: the next one asks again.
    void Forget();

    const TServerOffer& Offer() const { return state_.offer; }
    // For the overview walk, which learns from the server's answers.
    TServerOffer& Offer() { return state_.offer; }

    // Every command and every reply line on the connection passes here, so
    // that the replies of the questions sent along are told by their turn.
    void NoteCommandSent() { ++state_.commandsSent; }
    void NoteReplyRead() { ++state_.repliesRead; }

    // AUTHINFO, never while a reply is owed.
    void LogIn();
    // Logs in, unless the session has logged in since it had logins; reads
    // the replies of everything sent ahead first.
    void LogInAgainUnlessSince(int logins);
    // Logins on this connection so far.
    int Logins() const { return state_.logins; }

    bool ReaderModeWanted() const;
    // The server has taken a reader command (GROUP): no switch is tried.
    void NoteReaderMode() { state_.readerMode = true; }
    // MODE READER alone, then CAPABILITIES again.
    void SwitchToReaderMode();

    // Asks the server what it offers, once per connection; false when it
    // has no overview for certain.
    bool DetectOverview();
    // Asks for LIST OVERVIEW.FMT now and waits for it.
    void AskOverviewFormat();
    // Without an answer (or a refusal) the lines carry the seven fixed
    // fields.
    void TakeOverviewFormat(const std::optional<TAnswer>& answer);

    // The server accepted XFEATURE COMPRESS GZIP on this connection: data
    // blocks whose reply line carries [COMPRESS=GZIP] come compressed.
    bool CompressedBlocks() const { return state_.compressedBlocks; }

    // Questions about the connection are on their way.
    bool AsidesOwed() const { return !state_.asides.empty(); }
    // Reads the replies of the questions whose turn has come.
    void ReadAsidesDue();

private:
    // A question about the connection (CAPABILITIES, LIST OVERVIEW.FMT) sent
    // along with other commands, whose reply is taken in its turn, before
    // the reply that follows it.
    struct TAside {
        enum class TKind { Capabilities, OverviewFormat } kind;
        // The commands sent on the connection before it.
        int64_t sequence;
    };

    // Lasts one connection.
    struct TState {
        TServerOffer offer;
        // Oldest first.
        std::deque<TAside> asides;
        // Since the greeting: the order of each command and each reply on
        // the connection.
        int64_t commandsSent = 0;
        int64_t repliesRead = 0;
        // The server has taken a reader command (GROUP), or MODE READER
        // went out: no switch is tried (again).
        bool readerMode = false;
        int logins = 0;
        bool compressedBlocks = false;
    };

    TmsNNTP& client_;
    TState state_;

    void TakeCapabilities(const TAnswer& answer);
    // COMPRESS DEFLATE where the capabilities list it, else XFEATURE
    // COMPRESS GZIP; a server that refuses is used as it is.
    void StartCompression();
    // Sends CAPABILITIES, whose reply is read along with the next command's
    // (and sends LIST OVERVIEW.FMT then, where it is wanted).
    void AskCapabilities();
    void SendAside(std::string_view line, TAside::TKind kind);
    // Reads the replies of every aside; no other reply may come before
    // them.
    void ReadAsides();
    void ReadAside();
    // OVER is listed along with the format list, which is not known nor
    // asked for yet.
    bool OverviewFormatWanted() const;
    void AskOverviewFormatIfWanted();
    // Sends the lines at once and reads their replies; replies are not
    // checked. A 480 logs in (with a UserName) and sends them all again once.
    std::vector<TAnswer> Exchange(const std::vector<std::string>& lines, int64_t maxData);
};

} // namespace lumigrab
