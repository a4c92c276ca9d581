#include "news/nntpsession.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/sysutils.h"
#include "news/msnntp.h"

namespace lumigrab {

namespace {

// A farewell nobody answers must not hold up the close.
constexpr int QuitWaitSeconds = 5;
// The CAPABILITIES list and LIST OVERVIEW.FMT have a few lines.
constexpr int64_t MaxSmallList = 64 * 1024;

std::vector<std::string_view> WordsOf(std::string_view line)
{
    std::vector<std::string_view> words;
    while (!(line = TrimView(line)).empty()) {
        const size_t end = line.find_first_of(" \t");
        words.push_back(line.substr(0, end));
        if (end == std::string_view::npos)
            break;
        line.remove_prefix(end);
    }
    return words;
}

} // namespace

TServerOffer OfferOfCapabilities(const TAnswer& answer)
{
    TServerOffer offer;
    bool over = false;
    bool reader = false;
    bool modeReader = false;
    if (IsReplyCode(answer.reply, "101")) {
        ForEachDataLine(answer.data, [&](std::string_view line) {
            const std::vector<std::string_view> words = WordsOf(line);
            if (words.empty())
                return;
            const auto hasWord = [&](std::string_view word) {
                return std::any_of(words.begin() + 1, words.end(), [&](auto w) { return SameText(w, word); });
            };
            if (SameText(words[0], "VERSION"))
                offer.pipelining = std::any_of(
                    words.begin() + 1, words.end(), [](auto w) { return TryStrToInt(w).value_or(0) >= 2; });
            else if (SameText(words[0], "OVER"))
                over = true;
            else if (SameText(words[0], "LIST"))
                offer.listsOverviewFormat = hasWord("OVERVIEW.FMT");
            else if (SameText(words[0], "READER"))
                reader = true;
            else if (SameText(words[0], "MODE-READER"))
                modeReader = true;
            else if (SameText(words[0], "COMPRESS"))
                offer.compressDeflate = hasWord("DEFLATE");
        });
    }
    // RFC 3977's READER includes LISTGROUP with a range.
    offer.listGroupRanges = reader && offer.pipelining;
    offer.offersReaderMode = modeReader && !reader;
    offer.overview = over ? TOverviewSupport::TryOver : TOverviewSupport::TryXOver;
    return offer;
}

TNntpSession::TNntpSession(TmsNNTP& client)
    : client_(client)
{
}

void TNntpSession::Start()
{
    client_.ConnectSocket();
    // The greeting comes as the connection completes, so waiting for it
    // costs next to nothing, and a server that drops what a client says
    // before greeting it never sees CAPABILITIES vanish.
    client_.ReadServerReply();
    state_.commandsSent = 0;
    state_.repliesRead = 0;
    if (!client_.UserName.empty())
        LogIn();
    // After a login the server's offer may have changed, so it is asked
    // only then.
    if (client_.UseOverview) {
        AskCapabilities();
        if (client_.Compress)
            StartCompression();
    }
}

// COMPRESS must come before the group, so the capabilities are waited for
// here rather than read along with GROUP: one round trip, which the first
// compressed overview range pays back. COMPRESS and XFEATURE go out alone,
// as nothing may follow them before their answer.
void TNntpSession::StartCompression()
{
    while (state_.offer.overview == TOverviewSupport::Unknown && !state_.asides.empty())
        ReadAside();
    const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
    if (state_.offer.compressDeflate) {
        client_.Send("COMPRESS DEFLATE");
        client_.ReadServerReply();
        if (IsReplyCode(client_.LastReply, "206"))
            client_.StartCompression();
        return;
    }
    client_.Send("XFEATURE COMPRESS GZIP");
    client_.ReadServerReply();
    state_.compressedBlocks = IsReplyCode(client_.LastReply, "290");
}

void TNntpSession::Quit()
{
    bool answered = false;
    try {
        client_.Send("QUIT");
        const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
        answered = client_.ReadReplyWithin(client_.LastReply, QuitWaitSeconds);
    } catch (...) {
        client_.Close();
        throw;
    }
    client_.Close();
    // Any other reply is one left over from an earlier command: something
    // before it went unanswered or was answered twice.
    const std::string& reply = client_.LastReply;
    if (answered && !reply.empty() && !IsReplyCode(reply, "205"))
        client_.RaiseSocketError(SOutOfStep + std::string("asked to quit, the server answered ") + reply);
}

void TNntpSession::Forget()
{
    state_ = {};
}

void TNntpSession::LogIn()
{
    if (!IsSafeArgument(client_.UserName) || !IsSafeArgument(client_.Password))
        client_.RaiseSocketError(std::string(SInvalidArgument));
    ReadAsides();
    {
        const TFlagScope loggingIn(client_.rules_.loggingIn, true);
        ++state_.logins;
        client_.Send("AUTHINFO USER " + client_.UserName);
        client_.ReadServerReply();
        // A server may take the user name alone (281).
        if (IsReplyCode(client_.LastReply, "381")) {
            client_.SendShown("AUTHINFO PASS " + client_.Password, "AUTHINFO PASS ****");
            client_.ReadServerReply();
        }
        if (!IsReplyCode(client_.LastReply, "281"))
            client_.RaiseSocketError(LoginFailureText(client_.LastReply));
    }
    // A format list refused for want of a login is asked again.
    AskOverviewFormatIfWanted();
}

// The session may have been logged in since the ranges went out (an
// article's reply asked for it); a second AUTHINFO would be refused.
void TNntpSession::LogInAgainUnlessSince(int logins)
{
    client_.RequireIdle();
    const TmsNNTP::TBusy busy(client_);
    client_.pipeline_.DropInFlight();
    if (state_.logins == logins)
        LogIn();
}

bool TNntpSession::ReaderModeWanted() const
{
    return state_.offer.offersReaderMode && !state_.readerMode;
}

// What the server offers changes with its mode, so it is asked again, along
// with the command sent once more. MODE READER itself never goes out behind
// other commands.
void TNntpSession::SwitchToReaderMode()
{
    ReadAsides();
    state_.readerMode = true;
    client_.Send("MODE READER");
    client_.ReadServerReply();
    AskCapabilities();
}

bool TNntpSession::DetectOverview()
{
    TServerOffer& offer = state_.offer;
    // What CAPABILITIES sent at the start answered, when no reply was read
    // since.
    if (offer.overview == TOverviewSupport::Unknown && !state_.asides.empty()) {
        client_.RequireIdle();
        const TmsNNTP::TBusy busy(client_);
        while (offer.overview == TOverviewSupport::Unknown && !state_.asides.empty())
            ReadAside();
    }
    if (offer.overview == TOverviewSupport::Unknown) {
        TakeCapabilities(Exchange({ "CAPABILITIES" }, MaxSmallList).front());
        if (offer.overview == TOverviewSupport::TryOver && offer.listsOverviewFormat)
            TakeOverviewFormat(Exchange({ "LIST OVERVIEW.FMT" }, MaxSmallList).front());
    }
    return offer.overview != TOverviewSupport::None;
}

void TNntpSession::TakeCapabilities(const TAnswer& answer)
{
    // The format is no part of the list: it stays as it was asked for.
    std::optional<TOverviewFormat> format = std::move(state_.offer.overviewFormat);
    state_.offer = OfferOfCapabilities(answer);
    state_.offer.overviewFormat = std::move(format);
}

// Asked before Go needs them, so that selecting a group and walking it wait
// for nothing else: the reply comes in the first command's turn, ahead of
// its own. What the server offers belongs to the connection (and its mode),
// not to a group. A server without CAPABILITIES (500) shows its overview to
// the first walk, as before.
void TNntpSession::AskCapabilities()
{
    state_.offer.overview = TOverviewSupport::Unknown;
    state_.offer.overviewFormat.reset();
    SendAside("CAPABILITIES", TAside::TKind::Capabilities);
}

void TNntpSession::SendAside(std::string_view line, TAside::TKind kind)
{
    state_.asides.push_back({ kind, state_.commandsSent });
    client_.Send(line);
}

void TNntpSession::ReadAsidesDue()
{
    while (!state_.asides.empty() && state_.asides.front().sequence == state_.repliesRead)
        ReadAside();
}

void TNntpSession::ReadAsides()
{
    while (!state_.asides.empty())
        ReadAside();
}

// The format list goes out as soon as the capabilities show it, behind the
// commands already sent, so that the walk's ranges need not wait for it.
void TNntpSession::ReadAside()
{
    const TAside aside = state_.asides.front();
    state_.asides.pop_front();
    TAnswer answer;
    {
        const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
        const TFlagScope notLoggingIn(client_.rules_.loggingIn, false);
        answer = client_.ReadAnswer(MaxSmallList);
    }
    if (aside.kind == TAside::TKind::Capabilities) {
        TakeCapabilities(answer);
        AskOverviewFormatIfWanted();
    } else if (!IsReplyCode(answer.reply, "480")) {
        TakeOverviewFormat(answer);
    }
}

// Only to a server that takes pipelining; another learns the format after
// its first overview answer.
bool TNntpSession::OverviewFormatWanted() const
{
    const TServerOffer& offer = state_.offer;
    const bool asked = std::any_of(state_.asides.begin(), state_.asides.end(),
        [](const TAside& aside) { return aside.kind == TAside::TKind::OverviewFormat; });
    return offer.overview == TOverviewSupport::TryOver && offer.listsOverviewFormat && offer.pipelining
        && !offer.overviewFormat && !asked && !ReaderModeWanted();
}

void TNntpSession::AskOverviewFormatIfWanted()
{
    if (OverviewFormatWanted())
        SendAside("LIST OVERVIEW.FMT", TAside::TKind::OverviewFormat);
}

void TNntpSession::AskOverviewFormat()
{
    SendAside("LIST OVERVIEW.FMT", TAside::TKind::OverviewFormat);
    ReadAsides();
}

void TNntpSession::TakeOverviewFormat(const std::optional<TAnswer>& answer)
{
    if (answer && IsReplyCode(answer->reply, "215"))
        state_.offer.overviewFormat = TOverviewFormat::FromList(answer->data);
    else
        state_.offer.overviewFormat = TOverviewFormat();
}

std::vector<TAnswer> TNntpSession::Exchange(const std::vector<std::string>& lines, int64_t maxData)
{
    client_.RequireIdle();
    const TmsNNTP::TBusy busy(client_);
    client_.pipeline_.DropInFlight();
    for (int attempt = 0;; ++attempt) {
        for (const std::string& line : lines)
            client_.Send(line);
        std::vector<TAnswer> answers;
        {
            const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
            for (size_t i = 0; i < lines.size(); ++i)
                answers.push_back(client_.ReadAnswer(maxData));
        }
        const bool refused = std::any_of(
            answers.begin(), answers.end(), [](const TAnswer& a) { return IsReplyCode(a.reply, "480"); });
        if (!refused || attempt > 0 || client_.UserName.empty())
            return answers;
        LogIn();
    }
}

} // namespace lumigrab
