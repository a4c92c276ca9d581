#include "news/msnntp.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>

#include "base/sysutils.h"
#include "message/msutils.h"

namespace lumigrab {

namespace {

constexpr uint16_t NntpPort = 119;
constexpr uint16_t NntpsPort = 563;
// The transport estimates 76 bytes per line; larger counts would
// overflow its byte estimate.
constexpr int32_t MaxEstimatedLines = INT_MAX / 76;
// Real header blocks have a few kilobytes.
constexpr int64_t MaxHeaderBlock = int64_t(4) * 1024 * 1024;
// A server's whole group list; the largest have a few hundred thousand
// groups of some 50 bytes each.
constexpr int64_t MaxListBlock = TktSocket::DefaultMaxBlockSize;
// A farewell nobody answers must not hold up the close.
constexpr int QuitWaitSeconds = 5;
// Overview lines have a few hundred bytes; a range of a thousand fits many
// times over.
constexpr int64_t MaxOverviewBlock = int64_t(64) * 1024 * 1024;
// The CAPABILITIES list and LIST OVERVIEW.FMT have a few lines.
constexpr int64_t MaxSmallList = 64 * 1024;
constexpr int MaxOverviewRangeSize = 100000;
// After ranges that came back empty (a gap in the numbering), each next
// one is twice as wide, up to this many times the usual width.
constexpr int MaxRangeGrowth = 64;
constexpr int MaxPipelineDepth = 4;
// Overview commands sent at once to a server that takes pipelining: a
// round of ten thousand headers at the usual range size.
constexpr size_t MaxRangesInFlight = 10;
// Looking for the first article that still exists: numbers per LISTGROUP,
// and how many commands (STAT or LISTGROUP) the search may take.
constexpr int ListGroupSpan = 10000;
constexpr int64_t MaxListGroupBlock = int64_t(1024) * 1024;
constexpr int MaxArticleSearchTries = 1000;

const char* const SNoGroupSelected = "Newsgroup has not been selected";
const char* const SArticleNotAssigned = "Article has not been assigned";
const char* const SConnectionClosed = "Connection closed by the server";
const char* const SInvalidArgument = "Invalid command argument";
const char* const SBusy = "Another command is in progress on this connection";
const char* const STooManyConnections = "Too many connections for this account";
const char* const SLoginRefused = "The server refused the user name or password";
const char* const SLoginOutOfSequence = "The server refused the login sequence";
const char* const SLoginNeedsEncryption = "The server takes a login only over a secure connection";
const char* const SLoginNotPermitted = "The server does not permit this account to log in";
const char* const SOutOfStep = "Reply out of step: ";

std::string WithArgument(std::string_view command, std::string_view argument)
{
    std::string line(command);
    if (!argument.empty()) {
        line += ' ';
        line += argument;
    }
    return line;
}

// A line break inside an argument would smuggle a second command onto
// the connection.
bool IsSafeArgument(std::string_view argument)
{
    return argument.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool IsReplyCode(std::string_view reply, std::string_view code)
{
    return reply.substr(0, 3) == code;
}

// Neither success (2xx) nor a request to go on (3xx).
bool IsRefusal(std::string_view reply)
{
    return reply.empty() || (reply[0] != '2' && reply[0] != '3');
}

// Why a login was refused, followed by the server's own words. Providers
// report a connection limit under 481, 482 or 502 alike; only their text
// tells it apart.
std::string LoginFailureText(const std::string& reply)
{
    const std::string text = LowerCase(reply);
    const char* why = nullptr;
    if (text.find("too many") != std::string::npos || text.find("connections") != std::string::npos)
        why = STooManyConnections;
    else if (IsReplyCode(reply, "481"))
        why = SLoginRefused;
    else if (IsReplyCode(reply, "482"))
        why = SLoginOutOfSequence;
    else if (IsReplyCode(reply, "483"))
        why = SLoginNeedsEncryption;
    else if (IsReplyCode(reply, "502"))
        why = SLoginNotPermitted;
    if (!why)
        return reply;
    return std::string(why) + " (" + reply + ")";
}

// Sets a flag for a stretch of code, whatever leaves it.
class TFlagScope {
public:
    TFlagScope(bool& flag, bool value)
        : flag_(flag)
        , saved_(flag)
    {
        flag_ = value;
    }
    ~TFlagScope() { flag_ = saved_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
    bool saved_;
};

// No current article (420), no article of that number (423) or of that
// message id (430).
bool IsMissingArticleReply(std::string_view reply)
{
    return IsReplyCode(reply, "420") || IsReplyCode(reply, "423") || IsReplyCode(reply, "430");
}

// The replies of the exchanged commands that a data block follows:
// capabilities, a list, overview lines.
bool IsDataReply(std::string_view reply)
{
    return IsReplyCode(reply, "101") || IsReplyCode(reply, "215") || IsReplyCode(reply, "224");
}

// Overview lines follow, or the range holds no article (423; 420 for a
// server that wants a current article first).
bool IsOverviewAnswer(std::string_view reply)
{
    return IsReplyCode(reply, "224") || IsReplyCode(reply, "420") || IsReplyCode(reply, "423");
}

// An article number given as a reference: decimal digits only.
std::optional<int32_t> ArticleNumberOf(std::string_view ref)
{
    if (ref.empty() || !std::all_of(ref.begin(), ref.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return TryStrToInt(ref);
}

// The message-id word of a reply ("220 12 <id>"); empty when it has none.
std::string ReplyMessageId(std::string_view reply)
{
    std::string word = ExtractWord(reply, 2);
    if (!word.starts_with('<'))
        word.clear();
    return word;
}

// The lines of a data block, without their line ends. Only LF ends a line:
// a stray CR inside an overview line stays part of it.
template <typename Visit> void ForEachDataLine(std::string_view data, Visit&& visit)
{
    while (!data.empty()) {
        const size_t end = data.find('\n');
        std::string_view line = data.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        visit(line);
        if (end == std::string_view::npos)
            break;
        data.remove_prefix(end + 1);
    }
}

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

// The "Lines" value of a header block, for the progress estimate; -1 when
// missing or not a usable count.
int32_t LineCountOf(const TmsHeaders& headers)
{
    const auto lines = TryStrToInt(Trim(headers.GetFieldValue("LINES")));
    if (!lines || *lines < 0)
        return -1;
    return std::min(*lines, MaxEstimatedLines);
}

// Finds the line count in an article's header block while the article
// arrives, searching each received byte once.
class TLineCountProbe {
public:
    explicit TLineCountProbe(const TMemoryStream& article)
        : article_(article)
    {
    }

    std::optional<int> operator()()
    {
        const std::string_view text = article_.View();
        if (text.starts_with("\r\n"))
            return -1;
        const size_t end = text.find("\r\n\r\n", searched_);
        if (end == std::string_view::npos) {
            searched_ = text.size() < 3 ? 0 : text.size() - 3;
            if (text.size() > size_t(MaxHeaderBlock))
                return -1;
            return std::nullopt;
        }
        TmsHeaders headers;
        headers.SetText(text.substr(0, end + 2));
        return LineCountOf(headers);
    }

private:
    const TMemoryStream& article_;
    size_t searched_ = 0;
};

} // namespace

TmsNNTP::TmsNNTP(TComponent* owner)
    : TmsMailBase(owner)
{
    ServiceName = "nntp";
    DefaultPort = NntpPort;
    TLSServiceName = "nntps";
    TLSDefaultPort = NntpsPort;
    SizeInLines = true;
}

TmsNNTP::~TmsNNTP()
{
    try {
        Disconnect();
    } catch (...) {
        // The connection is going away either way.
    }
}

void TmsNNTP::Fire(const TNotifyEvent& event)
{
    if (event)
        event(this);
}

// A reply is accepted when it is 2xx, 3xx or 421 ("no next article"). NNTP
// has no continuation lines, so a "4xx-" or "5xx-" line is an error like any
// other 4xx/5xx reply.
void TmsNNTP::CheckReply(const std::string& reply)
{
    // Every whole reply line passes here, an error reply too.
    ++repliesRead_;
    if (loggingIn_ && !IsReplyCode(reply, "281") && !IsReplyCode(reply, "381"))
        RaiseSocketError(LoginFailureText(reply));
    if (anyReplyIsAnswer_)
        return;
    if (readerModeMayFollow_ && ReaderModeWanted())
        return;
    if (loginMayFollow_ && IsReplyCode(reply, "480"))
        return;
    if (reply.size() >= 3 && (reply[0] == '2' || reply[0] == '3'))
        return;
    if (IsReplyCode(reply, "421"))
        return;
    if (IsMissingArticleReply(reply)) {
        if (missingArticleIsAnswer_)
            return;
        throw ENoSuchArticle(FireError(reply));
    }
    RaiseSocketError(reply);
}

// Marks the stretch in which the client waits for the server or decodes,
// that is, in which the event loop runs code from elsewhere.
class TmsNNTP::TBusy {
public:
    explicit TBusy(TmsNNTP& client)
        : client_(client)
        , saved_(client.busy_)
    {
        client_.busy_ = true;
    }
    ~TBusy() { client_.busy_ = saved_; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

private:
    TmsNNTP& client_;
    bool saved_;
};

// A second command would read the reply meant for the first one. The
// running operation's own events fire outside the busy stretches, so its
// handlers may still issue commands.
void TmsNNTP::RequireIdle()
{
    if (busy_)
        RaiseSocketErrorKeepingTimer(SBusy);
}

// Replies of commands sent ahead come first: they are read before the
// next command is sent, so no command waits behind them.
void TmsNNTP::Command(std::string_view line)
{
    RequireIdle();
    const TBusy busy(*this);
    DropInFlight();
    SendCommand(line);
}

// The server may want a login first (its session may have expired), or, on
// a server that switches modes, MODE READER: then the command goes out once
// more, and a second refusal is an error.
void TmsNNTP::SendCommand(std::string_view line)
{
    SendAndRead(line, true);
    if (!UserName.empty() && IsReplyCode(LastReply, "480"))
        LogIn();
    else if (IsRefusal(LastReply) && ReaderModeWanted())
        SwitchToReaderMode();
    else
        return;
    SendAndRead(line, false);
}

void TmsNNTP::SendAndRead(std::string_view line, bool mayRetry)
{
    Send(line);
    const TFlagScope loginMayFollow(loginMayFollow_, mayRetry && !UserName.empty());
    const TFlagScope readerModeMayFollow(readerModeMayFollow_, mayRetry);
    ReadServerReply();
}

void TmsNNTP::Send(std::string_view line)
{
    SendShown(line, line);
}

void TmsNNTP::SendShown(std::string_view line, std::string_view shown)
{
    SendLineShown(line, shown);
    ++commandsSent_;
}

// AUTHINFO never goes out while a reply is owed.
void TmsNNTP::LogIn()
{
    if (!IsSafeArgument(UserName) || !IsSafeArgument(Password))
        RaiseSocketError(std::string(SInvalidArgument));
    ReadAsides();
    {
        const TFlagScope loggingIn(loggingIn_, true);
        ++logins_;
        Send("AUTHINFO USER " + UserName);
        ReadServerReply();
        // A server may take the user name alone (281).
        if (IsReplyCode(LastReply, "381")) {
            SendShown("AUTHINFO PASS " + Password, "AUTHINFO PASS ****");
            ReadServerReply();
        }
        if (!IsReplyCode(LastReply, "281"))
            RaiseSocketError(LoginFailureText(LastReply));
    }
    // A format list refused for want of a login is asked again.
    AskOverviewFormatIfWanted();
}

void TmsNNTP::ReadServerReply()
{
    ReadAsidesDue();
    ReadReply(LastReply);
    if (LastReply.empty()) {
        // The server hung up; nothing more will come.
        Close();
        RaiseSocketError(std::string(SConnectionClosed));
    }
}

// A data block follows only a 2xx reply; waiting for one after any other
// accepted reply (such as 421) would hang until the time-out.
void TmsNNTP::DataCommand(std::string_view line, TStream& data, int expectedSize, int64_t maxSize)
{
    DataCommand(line, data, expectedSize, maxSize, TArticleRef());
}

void TmsNNTP::DataCommand(
    std::string_view line, TStream& data, int expectedSize, int64_t maxSize, const TArticleRef& about)
{
    RequireIdle();
    const TBusy busy(*this);
    DropInFlight();
    SendCommand(line);
    if (LastReply[0] != '2')
        RaiseSocketError(LastReply);
    RequireInStep(about);
    ReadMultiLine(data, expectedSize, maxSize);
}

int64_t TmsNNTP::HeaderBlockLimit() const
{
    return std::min(MaxHeaderBlock, MaxArticleSize);
}

void TmsNNTP::RequireGroup()
{
    if (newsGroup_.empty())
        RaiseSocketError(std::string(SNoGroupSelected));
}

void TmsNNTP::RequireArticle()
{
    if (!article_)
        RaiseSocketError(std::string(SArticleNotAssigned));
}

void TmsNNTP::SetNewsGroup(std::string_view value)
{
    RequireIdle();
    // The same group on a connection that Cancel or the server ended is
    // selected again on a new one, and the walk goes on where it stopped.
    const bool same = SameText(value, newsGroup_);
    if (same && (Connected() || newsGroup_.empty()))
        return;
    if (!IsSafeArgument(value))
        RaiseSocketError(std::string(SInvalidArgument));
    // Group names are case-sensitive on the wire: the same group is asked
    // for as it was selected.
    const std::string name = same ? newsGroup_ : std::string(value);
    Connect();
    Command("GROUP " + name);
    readerMode_ = true;
    articleCount_ = ExtractWordAsInt(LastReply, 1);
    firstArticle_ = ExtractWordAsInt(LastReply, 2);
    lastArticle_ = ExtractWordAsInt(LastReply, 3);
    SetCurrent(firstArticle_);
    if (!same) {
        lastHeaderNumber_ = -1;
        walkIds_->Clear();
        takenNumbers_.clear();
        heldUpTo_ = 0;
    }
    newsGroup_ = name;
    Fire(OnGroupSelected);
}

void TmsNNTP::ForgetNewsGroup()
{
    RequireIdle();
    newsGroup_.clear();
    lastHeaderNumber_ = -1;
}

void TmsNNTP::WalkAgainAfter(int32_t number)
{
    RequireIdle();
    lastHeaderNumber_ = std::min(lastHeaderNumber_, number);
}

void TmsNNTP::SetCurrent(int32_t number)
{
    currentArticle_ = number;
    serverArticle_ = number;
}

void TmsNNTP::SetCurrentArticle(int32_t number)
{
    SetCurrentArticle({ number, {} });
}

void TmsNNTP::SetCurrentArticle(const TArticleRef& asked)
{
    RequireIdle();
    RequireGroup();
    Command("STAT " + std::to_string(asked.number));
    RequireInStep(asked);
    SetCurrent(ExtractWordAsInt(LastReply, 1));
}

// A reply about another article than the one asked for is one left over
// from an earlier command (or a server that lost count): taken as the
// answer, it would file one article's text under another's header, and
// every later reply would be one behind. Nothing on this connection can be
// trusted after it.
//
// A header's message-id may be wrong while its number is right: a server's
// overview out of date, or a hostile one. Raised on that, the walk would
// meet the same header at every Go and never get past it; so a reply of the
// number asked for is in step unless its message-id is another header's.
void TmsNNTP::RequireInStep(const TArticleRef& asked)
{
    if (LastReply.empty() || LastReply[0] != '2')
        return;
    // 0 stands for "no number" (RFC 3977 answers so for a message-id).
    const int32_t number = ExtractWordAsInt(LastReply, 1);
    if (asked.number > 0 && number > 0 && number != asked.number)
        RaiseOutOfStep(Format("asked for article %d, the server answered for %d", asked.number, number));
    const std::string answeredId = ReplyMessageId(LastReply);
    if (answeredId.empty() || (asked.number <= 0 && asked.messageId.empty()))
        return;
    const std::string expectedId = asked.messageId.empty() ? HeaderIdOf(asked.number) : asked.messageId;
    if (answeredId == expectedId)
        return;
    const bool another = NamesOtherHeader(answeredId, asked.number);
    if (number > 0 && number == asked.number && !another) {
        if (!expectedId.empty())
            NoteInLog(Format("Note: article %d is %s, its header said %s", number, answeredId.c_str(),
                expectedId.c_str()));
        return;
    }
    if (expectedId.empty() && !another)
        return;
    const std::string askedFor = expectedId.empty() ? std::to_string(asked.number) : expectedId;
    RaiseOutOfStep("asked for article " + askedFor + ", the server answered for " + answeredId);
}

void TmsNNTP::RaiseOutOfStep(const std::string& what)
{
    Close();
    RaiseSocketError(SOutOfStep + what);
}

void TmsNNTP::HoldHeader(const TmsNgInfoItem& item)
{
    if (item.Number <= heldUpTo_) {
        walkIds_->ForgetFrom(item.Number);
        while (!takenNumbers_.empty() && takenNumbers_.back() >= item.Number)
            takenNumbers_.pop_back();
    }
    heldUpTo_ = item.Number;
    walkIds_->Add(item.Number, item.GetFieldValue("MESSAGE-ID"));
}

// The walk goes forward: the headers read ahead have higher numbers than
// those taken.
void TmsNNTP::TakeHeader(int32_t number)
{
    takenNumbers_.push_back(number);
    if (takenNumbers_.size() <= RememberedTakenHeaders)
        return;
    takenNumbers_.pop_front();
    walkIds_->ForgetBelow(takenNumbers_.front());
}

std::string TmsNNTP::HeaderIdOf(int32_t number) const
{
    if (number < 0)
        return {};
    std::string id = walkIds_->IdOf(number);
    for (auto other = otherIds_.begin(); id.empty() && other != otherIds_.end(); ++other)
        id = (*other)->IdOf(number);
    return id;
}

bool TmsNNTP::NamesOtherHeader(const std::string& id, int32_t number) const
{
    return walkIds_->NamesOther(id, number)
        || std::any_of(otherIds_.begin(), otherIds_.end(),
            [&](const auto& other) { return other->NamesOther(id, number); });
}

void TmsNNTP::TellRepliesApartBy(std::vector<std::shared_ptr<const THeaderIds>> headers)
{
    RequireIdle();
    otherIds_ = std::move(headers);
}

void TmsNNTP::NoteInLog(const std::string& text)
{
    if (!LogFileName.empty())
        Log.Add(text);
}

auto TmsNNTP::RefOf(std::string_view ref) -> TArticleRef
{
    if (const std::optional<int32_t> number = ArticleNumberOf(ref))
        return { *number, {} };
    if (ref.starts_with('<'))
        return { -1, std::string(ref) };
    return {};
}

// The plain command sequences never leave the two apart.
void TmsNNTP::CatchUpServerArticle()
{
    if (!UseOverview)
        return;
    FinishPipeline();
    if (serverArticle_ != currentArticle_)
        SetCurrentArticle(currentArticle_);
}

bool TmsNNTP::NextArticle()
{
    RequireIdle();
    RequireGroup();
    CatchUpServerArticle();
    Command("NEXT");
    if (IsReplyCode(LastReply, "421"))
        return false;
    SetCurrent(ExtractWordAsInt(LastReply, 1));
    return true;
}

void TmsNNTP::RetrieveHeader(TmsNgInfoItem& item)
{
    RequireIdle();
    RequireGroup();
    CatchUpServerArticle();
    TMemoryStream data;
    DataCommand("HEAD", data, -1, HeaderBlockLimit());
    item.Number = ExtractWordAsInt(LastReply, 1);
    data.SetPosition(0);
    item.LoadFromStream(data);
}

void TmsNNTP::RetrieveHeaders(int count, bool append)
{
    RequireIdle();
    RequireGroup();
    if (!append)
        HeaderList.Clear();
    if (GroupIsEmpty()) {
        Fire(OnLastHeaderRetrieved);
        return;
    }
    handledNumber_ = lastHeaderNumber_;
    try {
        if (UseOverview && OverviewWalk(count))
            return;
        HeadWalk(count);
    } catch (...) {
        // The headers whose handlers finished are taken: the next walk goes
        // on after them, and the header whose handling failed (Stop during
        // its article, a full disk) comes again rather than being lost.
        if (handledNumber_ > lastHeaderNumber_)
            lastHeaderNumber_ = handledNumber_;
        throw;
    }
}

void TmsNNTP::FireHeaderRetrieved(int index, int32_t number)
{
    if (OnNextHeaderRetrieved)
        OnNextHeaderRetrieved(this, index);
    handledNumber_ = number;
}

void TmsNNTP::HeadWalk(int count)
{
    bool found;
    if (lastHeaderNumber_ == -1) {
        found = StartAtFirstArticle();
    } else {
        SetCurrentArticle(lastHeaderNumber_);
        found = NextArticleAfter(std::max(lastHeaderNumber_, currentArticle_));
    }
    if (!found) {
        Fire(OnLastHeaderRetrieved);
        return;
    }

    // The number is kept here rather than read back from HeaderList: a
    // handler may empty the list while the walk runs.
    int32_t lastNumber = lastHeaderNumber_;
    // Where NEXT moves from.
    int32_t position = currentArticle_;
    bool more = true;
    int taken = 0;
    do {
        auto item = std::make_unique<TmsNgInfoItem>();
        RetrieveHeader(*item);
        lastNumber = item->Number;
        HoldHeader(*item);
        TakeHeader(lastNumber);
        const int index = HeaderList.Add(std::move(item));
        FireHeaderRetrieved(index, lastNumber);
        // A handler that canceled has closed the connection; NEXT would only
        // report it as "not connected".
        if (Canceled())
            break;
        // A handler that fetched another article by number (one handed
        // back by the fetching pool, say) moved the server there; NEXT from
        // there would skip headers or go back.
        if (currentArticle_ != position)
            SetCurrentArticle(position);
        more = NextArticleAfter(position);
        position = currentArticle_;
        ++taken;
    } while (more && !Canceled() && taken != count);

    lastHeaderNumber_ = lastNumber;
    if (Canceled())
        throw ECanceledError();
    if (!more)
        Fire(OnLastHeaderRetrieved);
}

bool TmsNNTP::StatIfPresent(std::optional<int32_t> number)
{
    const TFlagScope missingIsAnswer(missingArticleIsAnswer_, true);
    Command(number ? "STAT " + std::to_string(*number) : std::string("STAT"));
    if (IsMissingArticleReply(LastReply))
        return false;
    if (number)
        RequireInStep({ *number, {} });
    SetCurrent(ExtractWordAsInt(LastReply, 1));
    return true;
}

bool TmsNNTP::GroupIsEmpty() const
{
    return articleCount_ == 0 || (lastArticle_ >= 0 && lastArticle_ < firstArticle_);
}

int32_t TmsNNTP::FirstWalkNumber() const
{
    if (StartBeforeEnd <= 0)
        return firstArticle_;
    return int32_t(std::max<int64_t>(firstArticle_, int64_t(lastArticle_) - StartBeforeEnd + 1));
}

// GROUP's first number may name an article that has expired or been
// cancelled since. GROUP made the first article the server still has its
// current one (RFC 3977), so the walk starts there; should the server have
// no current article either, the next number that exists is searched for.
bool TmsNNTP::StartAtFirstArticle()
{
    const int32_t start = FirstWalkNumber();
    if (StatIfPresent(start))
        return true;
    // The current article is the group's first, not the one to start at.
    if (start == firstArticle_ && StatIfPresent(std::nullopt))
        return true;
    return FindArticleAfter(start);
}

// Asks LISTGROUP where the server takes a range (RFC 3977), else STAT on
// each number, up to the group's last number and MaxArticleSearchTries
// commands; NEXT would need a current article, which the server lacks.
bool TmsNNTP::FindArticleAfter(int32_t number)
{
    int tries = 0;
    int64_t from = int64_t(number) + 1;
    while (from <= lastArticle_ && tries < MaxArticleSearchTries) {
        const int64_t to = std::min<int64_t>(lastArticle_, from + ListGroupSpan - 1);
        std::optional<std::vector<int32_t>> listed;
        if (listGroupRanges_) {
            listed = ListGroupNumbers(int32_t(from), int32_t(to));
            ++tries;
        }
        if (!listed) {
            for (; from <= to && tries < MaxArticleSearchTries; ++from, ++tries) {
                if (StatIfPresent(int32_t(from)))
                    return true;
            }
            continue;
        }
        for (const int32_t listedNumber : *listed) {
            if (tries++ >= MaxArticleSearchTries)
                break;
            if (listedNumber >= from && StatIfPresent(listedNumber))
                return true;
        }
        from = to + 1;
    }
    if (from <= lastArticle_)
        RaiseSocketError(Format("No article found between %d and %d", number + 1, int32_t(from - 1)));
    return false;
}

// The numbers the server lists for the range, in order; nullopt when it
// does not answer LISTGROUP with a list.
std::optional<std::vector<int32_t>> TmsNNTP::ListGroupNumbers(int32_t from, int32_t to)
{
    TMemoryStream data;
    {
        RequireIdle();
        const TBusy busy(*this);
        DropInFlight();
        {
            const TFlagScope quiet(anyReplyIsAnswer_, true);
            SendCommand(Format("LISTGROUP %s %d-%d", newsGroup_.c_str(), from, to));
        }
        if (!IsReplyCode(LastReply, "211"))
            return std::nullopt;
        ReadMultiLine(data, -1, MaxListGroupBlock);
    }
    return ReadArticleNumbers(data.View(), from, to);
}

// A server that answers NEXT with the article it came from, or an earlier
// one, would keep the walk going forever (and the harvest saving the same
// pictures again and again).
bool TmsNNTP::NextArticleAfter(int32_t position)
{
    if (!NextArticle())
        return false;
    if (currentArticle_ <= position)
        RaiseSocketError(Format("The server did not move on to a later article (NEXT answered %d after %d)",
            currentArticle_, position));
    return true;
}

// The walk reads the headers in rounds: up to MaxRangesInFlight ranges of
// OverviewRangeSize numbers sent at once. Each range's headers are handed
// to the handlers as soon as that range is read, while the later ones are
// still on their way, and the articles WillFetchArticles foresees for them
// are sent for before their events fire. A count that ends inside a round
// leaves the rest of it unused; the next walk reads on from the last
// header taken.
bool TmsNNTP::OverviewWalk(int count)
{
    FinishPipeline();
    if (!DetectOverview())
        return false;
    // Whatever leaves the walk, nothing of its round is handed on later.
    struct TForgetRound {
        TmsNNTP& client;
        ~TForgetRound()
        {
            client.candidates_.clear();
            client.rangesRead_.clear();
            client.roundFailed_ = true;
        }
    } forgetRound { *this };

    const int usualSpan = std::clamp(OverviewRangeSize, 1, MaxOverviewRangeSize);
    int span = usualSpan;
    int64_t next = lastHeaderNumber_ == -1 ? std::max(FirstWalkNumber(), 1) : int64_t(lastHeaderNumber_) + 1;
    int32_t lastNumber = lastHeaderNumber_;
    int taken = 0;
    // As in the HEAD walk, a count of 0 or less is never reached.
    const auto countReached = [&] { return taken > 0 && taken == count; };
    bool more = true;
    bool stopped = false;
    bool loginRetried = false;
    // A later range's error reply, raised once the headers before it are
    // delivered.
    std::string failure;
    while (!stopped && failure.empty()) {
        if (next > INT32_MAX) {
            more = false;
            break;
        }
        const int64_t budget = count > 0 ? int64_t(count) - taken : INT64_MAX;
        SendRanges(PlanRanges(int32_t(next), budget, span, RangesAtOnce()), lastNumber, budget);
        const int loginsAtSend = logins_;
        bool anyItems = false;
        while (std::optional<TRangeAnswer> answer = NextRangeAnswer()) {
            if (!answer->failure.empty()) {
                DropRanges();
                // A server that has no overview says so to the first command.
                if (overview_ == TOverview::None)
                    return false;
                if (IsReplyCode(answer->failure, "480") && !UserName.empty() && !loginRetried) {
                    loginRetried = true;
                    LogInAgainUnlessSince(loginsAtSend);
                    next = answer->range.first;
                    anyItems = true;
                } else {
                    failure = answer->failure;
                }
                break;
            }
            next = int64_t(answer->range.last) + 1;
            anyItems = anyItems || !answer->items.empty();
            // Nothing beyond the last item: the group ends there.
            const bool groupEnds = answer->range.final
                && (answer->items.empty() || answer->items.back()->Number < answer->range.last);
            size_t delivered = 0;
            for (auto& item : answer->items) {
                FillPipeline(item->Number);
                lastNumber = item->Number;
                // Handlers find the header just taken as the current article.
                currentArticle_ = item->Number;
                TakeHeader(item->Number);
                const int index = HeaderList.Add(std::move(item));
                ++delivered;
                ++taken;
                FireHeaderRetrieved(index, lastNumber);
                if (Canceled() || countReached())
                    break;
            }
            if (groupEnds && delivered == answer->items.size())
                more = false;
            if (!more || Canceled() || countReached()) {
                stopped = true;
                break;
            }
        }
        span = anyItems ? usualSpan : std::min(span * 2, usualSpan * MaxRangeGrowth);
    }

    candidates_.clear();
    if (!Canceled()) {
        DropRanges();
        FinishPipeline();
    }
    lastHeaderNumber_ = lastNumber;
    if (Canceled())
        throw ECanceledError();
    if (!failure.empty())
        RaiseSocketError(failure);
    if (!more)
        Fire(OnLastHeaderRetrieved);
    return true;
}

// The session may have been logged in since the ranges went out (an
// article's reply asked for it); a second AUTHINFO would be refused.
void TmsNNTP::LogInAgainUnlessSince(int logins)
{
    RequireIdle();
    const TBusy busy(*this);
    DropInFlight();
    if (logins_ == logins)
        LogIn();
}

bool TmsNNTP::DetectOverview()
{
    // What CAPABILITIES sent at the start answered, when no reply was read
    // since.
    if (overview_ == TOverview::Unknown && !asides_.empty()) {
        RequireIdle();
        const TBusy busy(*this);
        while (overview_ == TOverview::Unknown && !asides_.empty())
            ReadAside();
    }
    if (overview_ == TOverview::Unknown) {
        TakeCapabilities(Exchange({ "CAPABILITIES" }, MaxSmallList).front());
        if (overview_ == TOverview::TryOver && listsOverviewFormat_)
            TakeOverviewFormat(Exchange({ "LIST OVERVIEW.FMT" }, MaxSmallList).front());
    }
    return overview_ != TOverview::None;
}

void TmsNNTP::TakeCapabilities(const TAnswer& answer)
{
    bool over = false;
    bool reader = false;
    bool modeReader = false;
    pipelining_ = false;
    listsOverviewFormat_ = false;
    if (IsReplyCode(answer.reply, "101")) {
        ForEachDataLine(answer.data, [&](std::string_view line) {
            const std::vector<std::string_view> words = WordsOf(line);
            if (words.empty())
                return;
            const auto hasWord = [&](std::string_view word) {
                return std::any_of(words.begin() + 1, words.end(), [&](auto w) { return SameText(w, word); });
            };
            if (SameText(words[0], "VERSION"))
                pipelining_ = std::any_of(
                    words.begin() + 1, words.end(), [](auto w) { return TryStrToInt(w).value_or(0) >= 2; });
            else if (SameText(words[0], "OVER"))
                over = true;
            else if (SameText(words[0], "LIST"))
                listsOverviewFormat_ = hasWord("OVERVIEW.FMT");
            else if (SameText(words[0], "READER"))
                reader = true;
            else if (SameText(words[0], "MODE-READER"))
                modeReader = true;
        });
    }
    // RFC 3977's READER includes LISTGROUP with a range.
    listGroupRanges_ = reader && pipelining_;
    offersReaderMode_ = modeReader && !reader;
    overview_ = over ? TOverview::TryOver : TOverview::TryXOver;
}

// Asked before Go needs them, so that selecting a group and walking it wait
// for nothing else: the reply comes in the first command's turn, ahead of
// its own. What the server offers belongs to the connection (and its mode),
// not to a group. A server without CAPABILITIES (500) shows its overview to
// the first walk, as before.
void TmsNNTP::AskCapabilities()
{
    overview_ = TOverview::Unknown;
    overviewFormat_.reset();
    SendAside("CAPABILITIES", TAside::TKind::Capabilities);
}

void TmsNNTP::SendAside(std::string_view line, TAside::TKind kind)
{
    asides_.push_back({ kind, commandsSent_ });
    Send(line);
}

void TmsNNTP::ReadAsidesDue()
{
    while (!asides_.empty() && asides_.front().sequence == repliesRead_)
        ReadAside();
}

void TmsNNTP::ReadAsides()
{
    while (!asides_.empty())
        ReadAside();
}

// The format list goes out as soon as the capabilities show it, behind the
// commands already sent, so that the walk's ranges need not wait for it.
void TmsNNTP::ReadAside()
{
    const TAside aside = asides_.front();
    asides_.pop_front();
    TAnswer answer;
    {
        const TFlagScope quiet(anyReplyIsAnswer_, true);
        const TFlagScope notLoggingIn(loggingIn_, false);
        answer = ReadAnswer(MaxSmallList);
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
bool TmsNNTP::OverviewFormatWanted() const
{
    const bool asked = std::any_of(asides_.begin(), asides_.end(),
        [](const TAside& aside) { return aside.kind == TAside::TKind::OverviewFormat; });
    return overview_ == TOverview::TryOver && listsOverviewFormat_ && pipelining_ && !overviewFormat_
        && !asked && !ReaderModeWanted();
}

void TmsNNTP::AskOverviewFormatIfWanted()
{
    if (OverviewFormatWanted())
        SendAside("LIST OVERVIEW.FMT", TAside::TKind::OverviewFormat);
}

bool TmsNNTP::ReaderModeWanted() const
{
    return offersReaderMode_ && !readerMode_;
}

// What the server offers changes with its mode, so it is asked again, along
// with the command sent once more. MODE READER itself never goes out behind
// other commands.
void TmsNNTP::SwitchToReaderMode()
{
    ReadAsides();
    readerMode_ = true;
    Send("MODE READER");
    ReadServerReply();
    AskCapabilities();
}

int TmsNNTP::Depth() const
{
    return pipelining_ ? std::clamp(PipelineDepth, 1, MaxPipelineDepth) : 1;
}

size_t TmsNNTP::RangesAtOnce() const
{
    // Commands are sent ahead only to a server that has shown or announced
    // overview.
    const bool shown = overview_ == TOverview::Over || overview_ == TOverview::XOver;
    if (!shown && overview_ != TOverview::TryOver)
        return 1;
    return Depth() > 1 ? MaxRangesInFlight : 1;
}

// Ranges are as wide as span, whatever the count: gaps in the numbering
// make a range hold fewer headers than numbers. A range that reaches the
// group's last article reaches one number past it, so that its answer tells
// whether the group ends there.
auto TmsNNTP::PlanRanges(int32_t first, int64_t budget, int span, size_t most) const -> std::vector<TRange>
{
    std::vector<TRange> ranges;
    int64_t start = first;
    while (true) {
        int64_t last = start + span - 1;
        const bool final = last >= lastArticle_;
        if (final)
            ++last;
        last = std::min<int64_t>(last, INT32_MAX);
        ranges.push_back({ int32_t(start), int32_t(last), final });
        budget -= span;
        if (final || budget <= 0 || ranges.size() >= most || last == INT32_MAX)
            return ranges;
        start = last + 1;
    }
}

std::string TmsNNTP::RangeCommand(const TRange& range) const
{
    const char* command
        = overview_ == TOverview::XOver || overview_ == TOverview::TryXOver ? "XOVER " : "OVER ";
    return command + std::to_string(range.first) + "-" + std::to_string(range.last);
}

void TmsNNTP::SendRanges(const std::vector<TRange>& ranges, int32_t after, int64_t budget)
{
    RequireIdle();
    const TBusy busy(*this);
    DropInFlight();
    candidates_.clear();
    rangesRead_.clear();
    roundFailed_ = false;
    listedAfter_ = after;
    foreseeBudget_ = budget;
    for (const TRange& range : ranges) {
        Send(RangeCommand(range));
        rangesInFlight_.push_back(range);
    }
}

auto TmsNNTP::NextRangeAnswer() -> std::optional<TRangeAnswer>
{
    if (rangesRead_.empty() && !rangesInFlight_.empty()) {
        RequireIdle();
        const TBusy busy(*this);
        ReadNextRange();
    }
    if (rangesRead_.empty())
        return std::nullopt;
    TRangeAnswer answer = std::move(rangesRead_.front());
    rangesRead_.pop_front();
    return answer;
}

// The ranges before a failed one were answered: their headers are delivered
// before the failure ends the walk, or they could never be harvested while
// the server keeps failing that range. Those after it are not: the next
// walk asks again from the failed one.
void TmsNNTP::ReadNextRange()
{
    const TRange range = rangesInFlight_.front();
    rangesInFlight_.pop_front();
    TAnswer answer;
    {
        const TFlagScope quiet(anyReplyIsAnswer_, true);
        answer = ReadAnswer(std::min(MaxOverviewBlock, MaxArticleSize));
    }
    if (roundFailed_)
        return;
    TRangeAnswer read { range, {}, {} };
    if (!IsOverviewAnswer(answer.reply)) {
        if ((overview_ == TOverview::TryOver || overview_ == TOverview::TryXOver)
            && !IsReplyCode(answer.reply, "480"))
            overview_ = TOverview::None;
        read.failure = answer.reply;
        roundFailed_ = true;
        rangesRead_.push_back(std::move(read));
        return;
    }
    if (overview_ == TOverview::TryOver)
        overview_ = TOverview::Over;
    else if (overview_ == TOverview::TryXOver)
        overview_ = TOverview::XOver;
    if (!overviewFormat_)
        TakeFormatAfterFirstRange();
    ReadRangeItems(answer, read);
    for (const auto& item : read.items)
        ForeseeArticles(*item);
    rangesRead_.push_back(std::move(read));
    // Their replies queue behind the overview replies still in flight.
    if (Connected())
        TopUpPipeline();
}

void TmsNNTP::ReadRangesAhead()
{
    while (!rangesInFlight_.empty())
        ReadNextRange();
}

void TmsNNTP::DropRanges()
{
    rangesRead_.clear();
    if (rangesInFlight_.empty())
        return;
    RequireIdle();
    const TBusy busy(*this);
    roundFailed_ = true;
    ReadRangesAhead();
}

// A server of the older kind (no CAPABILITIES) once it has shown overview;
// one that takes pipelining and does not list the format uses the fixed
// fields. Asked only when no other reply is on its way.
void TmsNNTP::TakeFormatAfterFirstRange()
{
    const bool ask = (listsOverviewFormat_ || !pipelining_) && rangesInFlight_.empty() && inFlight_.empty();
    if (!ask) {
        TakeOverviewFormat(std::nullopt);
        return;
    }
    SendAside("LIST OVERVIEW.FMT", TAside::TKind::OverviewFormat);
    ReadAsides();
}

// Without the list the lines still carry the seven fixed fields.
void TmsNNTP::TakeOverviewFormat(const std::optional<TAnswer>& answer)
{
    if (answer && IsReplyCode(answer->reply, "215"))
        overviewFormat_ = TOverviewFormat::FromList(answer->data);
    else
        overviewFormat_ = TOverviewFormat();
}

// Lines outside the range, or not after the header before them, would take
// a header twice or walk backwards; they are passed over like lines that
// name no article.
void TmsNNTP::ReadRangeItems(const TAnswer& answer, TRangeAnswer& read)
{
    if (!IsReplyCode(answer.reply, "224"))
        return;
    ForEachDataLine(answer.data, [&](std::string_view line) {
        auto item = std::make_unique<TmsNgInfoItem>();
        if (!ReadOverviewLine(line, *overviewFormat_, *item))
            return;
        if (item->Number < read.range.first || item->Number > read.range.last || item->Number <= listedAfter_)
            return;
        listedAfter_ = item->Number;
        HoldHeader(*item);
        read.items.push_back(std::move(item));
    });
}

void TmsNNTP::ForeseeArticles(const TmsNgInfoItem& header)
{
    if (!WillFetchArticles || Depth() < 2 || foreseeBudget_ <= 0)
        return;
    --foreseeBudget_;
    for (const int32_t number : WillFetchArticles(header))
        candidates_.push_back({ header.Number, number });
}

auto TmsNNTP::Exchange(const std::vector<std::string>& lines, int64_t maxData) -> std::vector<TAnswer>
{
    RequireIdle();
    const TBusy busy(*this);
    DropInFlight();
    for (int attempt = 0;; ++attempt) {
        for (const std::string& line : lines)
            Send(line);
        std::vector<TAnswer> answers;
        {
            const TFlagScope quiet(anyReplyIsAnswer_, true);
            for (size_t i = 0; i < lines.size(); ++i)
                answers.push_back(ReadAnswer(maxData));
        }
        const bool refused = std::any_of(
            answers.begin(), answers.end(), [](const TAnswer& a) { return IsReplyCode(a.reply, "480"); });
        if (!refused || attempt > 0 || UserName.empty())
            return answers;
        LogIn();
    }
}

auto TmsNNTP::ReadAnswer(int64_t maxData) -> TAnswer
{
    ReadServerReply();
    TAnswer answer { LastReply, {} };
    if (IsDataReply(answer.reply)) {
        TMemoryStream data;
        ReadMultiLine(data, -1, maxData);
        answer.data = std::string(data.View());
    }
    return answer;
}

void TmsNNTP::FinishPipeline()
{
    held_.clear();
    if (inFlight_.empty())
        return;
    RequireIdle();
    const TBusy busy(*this);
    DropInFlight();
}

void TmsNNTP::DropInFlight()
{
    ReadRangesAhead();
    held_.clear();
    while (!inFlight_.empty())
        DropOldestInFlight();
}

// An article sent for and then not asked for: read and forgotten, whatever
// the reply.
void TmsNNTP::DropOldestInFlight()
{
    ReadOldestInFlight();
}

auto TmsNNTP::ReadOldestInFlight() -> std::optional<THeld>
{
    ReadRangesAhead();
    const int32_t number = inFlight_.front().number;
    inFlight_.pop_front();
    const TFlagScope quiet(anyReplyIsAnswer_, true);
    ReadServerReply();
    if (LastReply[0] != '2')
        return std::nullopt;
    RequireInStep({ number, {} });
    TMemoryStream text;
    ReadMultiLine(text, -1, MaxArticleSize);
    serverArticle_ = number;
    return THeld { number, text.TakeBuffer() };
}

// The handler fetches an article it did not announce (the copy of a part
// that is gone, say): the ones on their way are still to come after it, so
// they are kept rather than fetched twice. An error reply is not kept; that
// article is asked for again in its turn.
void TmsNNTP::HoldInFlight()
{
    while (!inFlight_.empty()) {
        std::optional<THeld> held = ReadOldestInFlight();
        if (!held)
            continue;
        if (held_.size() >= size_t(Depth()))
            held_.pop_front();
        held_.push_back(std::move(*held));
    }
}

bool TmsNNTP::TakeHeld(int32_t number)
{
    const auto found = std::find_if(
        held_.begin(), held_.end(), [number](const THeld& held) { return held.number == number; });
    if (found == held_.end())
        return false;
    article_->Clear();
    articleText_.AssignBuffer(std::move(found->text));
    held_.erase(held_.begin(), std::next(found));
    return true;
}

void TmsNNTP::FillPipeline(int32_t header)
{
    // The handler has passed those headers: what it did not fetch then it
    // will not fetch.
    while (!candidates_.empty() && candidates_.front().header < header)
        candidates_.pop_front();
    if (candidates_.empty() || inFlight_.size() >= size_t(Depth()) || !Connected())
        return;
    RequireIdle();
    const TBusy busy(*this);
    TopUpPipeline();
}

void TmsNNTP::TopUpPipeline()
{
    while (!candidates_.empty() && inFlight_.size() < size_t(Depth())) {
        SendArticleCommand(candidates_.front());
        candidates_.pop_front();
    }
}

void TmsNNTP::SendArticleCommand(const TAhead& ahead)
{
    Send("ARTICLE " + std::to_string(ahead.number));
    inFlight_.push_back(ahead);
}

// Articles announced before the one asked for and not fetched were wrong
// guesses: read and dropped. One never announced goes after those in
// flight, which are held.
void TmsNNTP::PrepareArticle(int32_t number)
{
    const auto isNumber = [number](const TAhead& ahead) { return ahead.number == number; };
    if (std::any_of(inFlight_.begin(), inFlight_.end(), isNumber)) {
        held_.clear();
        while (inFlight_.front().number != number)
            DropOldestInFlight();
        return;
    }
    const auto candidate = std::find_if(candidates_.begin(), candidates_.end(), isNumber);
    if (candidate != candidates_.end()) {
        const TAhead ahead = *candidate;
        candidates_.erase(candidates_.begin(), std::next(candidate));
        DropInFlight();
        SendArticleCommand(ahead);
        return;
    }
    HoldInFlight();
    SendArticleCommand({ currentArticle_, number });
}

void TmsNNTP::RetrieveArticle()
{
    RequireIdle();
    RequireGroup();
    ReadArticle("");
}

void TmsNNTP::RetrieveArticleByNumber(int32_t number, std::string_view messageId)
{
    RequireIdle();
    RequireGroup();
    RequireArticle();
    const TArticleRef asked { number, std::string(messageId) };
    if (UseOverview) {
        FetchArticle(asked);
        return;
    }
    SetCurrentArticle(asked);
    ReadArticle("");
}

// The header's "Lines" value, read to estimate the transfer's progress;
// -1 when missing or not a usable count.
int32_t TmsNNTP::ReadLineCount(std::string_view ref, TMemoryStream& buffer)
{
    DataCommand(WithArgument("HEAD", ref), buffer, -1, HeaderBlockLimit(), RefOf(ref));
    buffer.SetPosition(0);
    TmsHeaders headers;
    headers.LoadFromStream(buffer);
    return LineCountOf(headers);
}

int32_t TmsNNTP::HeaderLineCount(int32_t number) const
{
    const TmsNgInfoItem* header = HeaderList.Find(number);
    return header ? LineCountOf(*header) : -1;
}

void TmsNNTP::ReadArticle(std::string_view ref)
{
    RequireIdle();
    RequireArticle();
    if (!IsSafeArgument(ref))
        RaiseSocketError(std::string(SInvalidArgument));
    if (UseOverview) {
        if (const std::optional<int32_t> number = ArticleNumberOf(ref)) {
            FetchArticle({ *number, {} });
            return;
        }
        if (ref.empty())
            CatchUpServerArticle();
        FetchArticleNow(ref, ref.empty() ? HeaderLineCount(currentArticle_) : -1);
        return;
    }
    TMemoryStream buffer;
    const int32_t lines = ReadLineCount(ref, buffer);
    article_->Clear();
    buffer.Clear();
    DataCommand(WithArgument("ARTICLE", ref), buffer, lines, MaxArticleSize, RefOf(ref));
    buffer.SetPosition(0);
    if (TakeArticleText) {
        TakeArticleText(buffer.View());
    } else {
        // The decoder lets the event loop run between parts.
        const TBusy busy(*this);
        article_->LoadFromStream(buffer);
    }
    Fire(OnArticleRetrieved);
}

// The article may have been sent for ahead; then its reply is next, once
// those of articles sent for and not asked for are read.
void TmsNNTP::FetchArticle(const TArticleRef& asked)
{
    RequireIdle();
    RequireArticle();
    const int32_t number = asked.number;
    const int32_t lines = HeaderLineCount(number);
    {
        const TBusy busy(*this);
        const bool held = TakeHeld(number);
        if (!held)
            PrepareArticle(number);
        // The next articles are on their way while this one is read.
        TopUpPipeline();
        if (!held) {
            inFlight_.pop_front();
            ReadArticleReply("ARTICLE " + std::to_string(number), lines, asked);
        }
        SetCurrent(number);
        LoadArticle();
    }
    Fire(OnArticleRetrieved);
}

void TmsNNTP::FetchArticleNow(std::string_view ref, int32_t lines)
{
    RequireIdle();
    {
        const TBusy busy(*this);
        DropInFlight();
        const std::string command = WithArgument("ARTICLE", ref);
        Send(command);
        ReadArticleReply(command, lines, RefOf(ref));
        LoadArticle();
    }
    Fire(OnArticleRetrieved);
}

// Reads the reply to an ARTICLE command already sent and the article into
// articleText_. A 480 logs in and sends the command once more; the commands
// sent after it met the same refusal.
void TmsNNTP::ReadArticleReply(const std::string& command, int32_t lines, const TArticleRef& asked)
{
    ReadRangesAhead();
    {
        const TFlagScope loginMayFollow(loginMayFollow_, !UserName.empty());
        ReadServerReply();
    }
    if (!UserName.empty() && IsReplyCode(LastReply, "480")) {
        // They are asked for again in their turn.
        candidates_.insert(candidates_.begin(), inFlight_.begin(), inFlight_.end());
        DropInFlight();
        LogIn();
        Send(command);
        ReadServerReply();
    }
    if (LastReply[0] != '2')
        RaiseSocketError(LastReply);
    article_->Clear();
    articleText_.Clear();
    RequireInStep(asked);
    TLineCountProbe probe(articleText_);
    try {
        ReadMultiLine(articleText_, lines, MaxArticleSize, [&] { return probe(); });
    } catch (...) {
        // What a block beyond the bound filled is given back, not kept for
        // the next article.
        articleText_.AssignBuffer({});
        throw;
    }
}

// The decoder lets the event loop run between parts; the caller holds the
// busy stretch.
void TmsNNTP::LoadArticle()
{
    if (TakeArticleText) {
        TakeArticleText(articleText_.View());
        articleText_.Clear();
        return;
    }
    articleText_.SetPosition(0);
    article_->LoadFromStream(articleText_);
    articleText_.Clear();
}

void TmsNNTP::RetrieveNewsGroupList()
{
    RequireIdle();
    Connect();
    NewsGroupList.Clear();
    Fire(OnRetrievingNewsGroupList);
    TMemoryStream data;
    DataCommand("LIST", data, -1, MaxListBlock);
    data.SetPosition(0);
    NewsGroupList.LoadFromStream(data);
    Fire(OnNewsGroupListRetrieved);
}

void TmsNNTP::LoadNewsGroupList(const std::string& fileName)
{
    NewsGroupList.LoadFromFile(fileName);
}

void TmsNNTP::SaveNewsGroupList(const std::string& fileName) const
{
    NewsGroupList.SaveToFile(fileName);
}

void TmsNNTP::Open()
{
    RequireIdle();
    const TBusy busy(*this);
    ResetState();
    CheckServer();
    TmsMailBase::Open();
}

void TmsNNTP::Close()
{
    overview_ = TOverview::Unknown;
    pipelining_ = false;
    listsOverviewFormat_ = false;
    listGroupRanges_ = false;
    overviewFormat_.reset();
    asides_.clear();
    commandsSent_ = 0;
    repliesRead_ = 0;
    offersReaderMode_ = false;
    readerMode_ = false;
    logins_ = 0;
    rangesInFlight_.clear();
    rangesRead_.clear();
    roundFailed_ = false;
    inFlight_.clear();
    candidates_.clear();
    held_.clear();
    TmsMailBase::Close();
}

void TmsNNTP::StartSession()
{
    RequireIdle();
    const TBusy busy(*this);
    ConnectSocket();
    // The greeting comes as the connection completes, so waiting for it
    // costs next to nothing, and a server that drops what a client says
    // before greeting it never sees CAPABILITIES vanish.
    ReadServerReply();
    commandsSent_ = 0;
    repliesRead_ = 0;
    if (!UserName.empty())
        LogIn();
    // After a login the server's offer may have changed, so it is asked
    // only then.
    if (UseOverview)
        AskCapabilities();
}

// Replies still on their way (articles, or what the server offers) are not
// worth waiting for: without a QUIT the server simply sees the connection
// end.
void TmsNNTP::EndSession()
{
    RequireIdle();
    const TBusy busy(*this);
    newsGroup_.clear();
    if (!inFlight_.empty() || !rangesInFlight_.empty() || !asides_.empty()) {
        Close();
        return;
    }
    bool answered = false;
    try {
        Send("QUIT");
        const TFlagScope quiet(anyReplyIsAnswer_, true);
        answered = ReadReplyWithin(LastReply, QuitWaitSeconds);
    } catch (...) {
        Close();
        throw;
    }
    Close();
    // Any other reply is one left over from an earlier command: something
    // before it went unanswered or was answered twice.
    if (answered && !LastReply.empty() && !IsReplyCode(LastReply, "205"))
        RaiseSocketError(SOutOfStep + std::string("asked to quit, the server answered ") + LastReply);
}

void TmsNNTP::SetArticle(TmsArticle* article)
{
    ReferTo(article_, article);
}

void TmsNNTP::ComponentRemoved(TComponent* component)
{
    if (component == article_)
        article_ = nullptr;
    TmsMailBase::ComponentRemoved(component);
}

} // namespace lumigrab
