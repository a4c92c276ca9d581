#include "news/msnntp.h"

#include <algorithm>
#include <climits>
#include <memory>

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
    if (loggingIn_ && !IsReplyCode(reply, "281") && !IsReplyCode(reply, "381"))
        RaiseSocketError(LoginFailureText(reply));
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
    {
        client_.busy_ = true;
    }
    ~TBusy() { client_.busy_ = false; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

private:
    TmsNNTP& client_;
};

// A second command would read the reply meant for the first one. The
// running operation's own events fire outside the busy stretches, so its
// handlers may still issue commands.
void TmsNNTP::RequireIdle()
{
    if (busy_)
        RaiseSocketErrorKeepingTimer(SBusy);
}

void TmsNNTP::Command(std::string_view line)
{
    RequireIdle();
    const TBusy busy(*this);
    SendCommand(line);
}

void TmsNNTP::SendCommand(std::string_view line)
{
    SendLine(line);
    {
        const TFlagScope loginMayFollow(loginMayFollow_, !UserName.empty());
        ReadServerReply();
    }
    if (!IsReplyCode(LastReply, "480"))
        return;
    // The server wants a login first (its session may have expired): log
    // in and ask once more; a second 480 is an error.
    LogIn();
    SendLine(line);
    ReadServerReply();
}

void TmsNNTP::LogIn()
{
    if (!IsSafeArgument(UserName) || !IsSafeArgument(Password))
        RaiseSocketError(std::string(SInvalidArgument));
    const TFlagScope loggingIn(loggingIn_, true);
    SendLine("AUTHINFO USER " + UserName);
    ReadServerReply();
    // A server may take the user name alone (281).
    if (IsReplyCode(LastReply, "381")) {
        SendLineShown("AUTHINFO PASS " + Password, "AUTHINFO PASS ****");
        ReadServerReply();
    }
    if (!IsReplyCode(LastReply, "281"))
        RaiseSocketError(LoginFailureText(LastReply));
}

void TmsNNTP::ReadServerReply()
{
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
    RequireIdle();
    const TBusy busy(*this);
    SendCommand(line);
    if (LastReply[0] != '2')
        RaiseSocketError(LastReply);
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
    if (SameText(value, newsGroup_))
        return;
    if (!IsSafeArgument(value))
        RaiseSocketError(std::string(SInvalidArgument));
    Connect();
    Command("GROUP " + std::string(value));
    articleCount_ = ExtractWordAsInt(LastReply, 1);
    firstArticle_ = ExtractWordAsInt(LastReply, 2);
    lastArticle_ = ExtractWordAsInt(LastReply, 3);
    currentArticle_ = firstArticle_;
    lastHeaderNumber_ = -1;
    newsGroup_ = std::string(value);
    Fire(OnGroupSelected);
}

void TmsNNTP::SetCurrentArticle(int32_t number)
{
    RequireIdle();
    RequireGroup();
    Command("STAT " + std::to_string(number));
    currentArticle_ = ExtractWordAsInt(LastReply, 1);
}

bool TmsNNTP::NextArticle()
{
    RequireIdle();
    RequireGroup();
    Command("NEXT");
    if (IsReplyCode(LastReply, "421"))
        return false;
    currentArticle_ = ExtractWordAsInt(LastReply, 1);
    return true;
}

void TmsNNTP::RetrieveHeader(TmsNgInfoItem& item)
{
    RequireIdle();
    RequireGroup();
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
    // Where NEXT moves from; handlers may move the server elsewhere.
    int32_t position = currentArticle_;
    bool more = true;
    int taken = 0;
    do {
        auto item = std::make_unique<TmsNgInfoItem>();
        RetrieveHeader(*item);
        lastNumber = item->Number;
        const int index = HeaderList.Add(std::move(item));
        if (OnNextHeaderRetrieved)
            OnNextHeaderRetrieved(this, index);
        // A handler that canceled has closed the connection; NEXT would only
        // report it as "not connected".
        if (Canceled())
            break;
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

bool TmsNNTP::StatIfPresent(std::string_view command)
{
    struct TAnswer {
        bool& flag;
        explicit TAnswer(bool& flag)
            : flag(flag)
        {
            flag = true;
        }
        ~TAnswer() { flag = false; }
    } missingIsAnswer(missingArticleIsAnswer_);
    Command(command);
    if (IsMissingArticleReply(LastReply))
        return false;
    currentArticle_ = ExtractWordAsInt(LastReply, 1);
    return true;
}

// GROUP's first number may name an article that has expired or been
// cancelled since. GROUP made the first article the server still has its
// current one (RFC 3977), so the walk starts there; should that one be gone
// as well, NEXT finds the next that is not.
bool TmsNNTP::StartAtFirstArticle()
{
    if (StatIfPresent("STAT " + std::to_string(firstArticle_)) || StatIfPresent("STAT"))
        return true;
    return NextArticle();
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

void TmsNNTP::RetrieveArticle()
{
    RequireIdle();
    RequireGroup();
    ReadArticle("");
}

void TmsNNTP::RetrieveArticleByNumber(int32_t number)
{
    RequireIdle();
    RequireGroup();
    RequireArticle();
    SetCurrentArticle(number);
    ReadArticle("");
}

// The header's "Lines" value, read to estimate the transfer's progress;
// -1 when missing or not a usable count.
int32_t TmsNNTP::ReadLineCount(std::string_view ref, TMemoryStream& buffer)
{
    DataCommand(WithArgument("HEAD", ref), buffer, -1, HeaderBlockLimit());
    buffer.SetPosition(0);
    TmsHeaders headers;
    headers.LoadFromStream(buffer);
    const auto lines = TryStrToInt(Trim(headers.GetFieldValue("LINES")));
    if (!lines || *lines < 0)
        return -1;
    return std::min(*lines, MaxEstimatedLines);
}

void TmsNNTP::ReadArticle(std::string_view ref)
{
    RequireIdle();
    RequireArticle();
    if (!IsSafeArgument(ref))
        RaiseSocketError(std::string(SInvalidArgument));
    TMemoryStream buffer;
    const int32_t lines = ReadLineCount(ref, buffer);
    article_->Clear();
    buffer.Clear();
    DataCommand(WithArgument("ARTICLE", ref), buffer, lines, MaxArticleSize);
    buffer.SetPosition(0);
    {
        // The decoder lets the event loop run between parts.
        const TBusy busy(*this);
        article_->LoadFromStream(buffer);
    }
    Fire(OnArticleRetrieved);
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

void TmsNNTP::StartSession()
{
    RequireIdle();
    const TBusy busy(*this);
    ConnectSocket();
    ReadServerReply();
    if (!UserName.empty())
        LogIn();
}

void TmsNNTP::EndSession()
{
    RequireIdle();
    const TBusy busy(*this);
    newsGroup_.clear();
    try {
        SendLine("QUIT");
        ReadReplyWithin(LastReply, QuitWaitSeconds);
    } catch (...) {
        Close();
        throw;
    }
    Close();
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
