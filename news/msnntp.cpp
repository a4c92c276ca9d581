#include "news/msnntp.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/sysutils.h"
#include "message/msutils.h"
#include "news/headwalk.h"

namespace lumigrab {

namespace {

constexpr uint16_t NntpPort = 119;
constexpr uint16_t NntpsPort = 563;
// A server's whole group list; the largest have a few hundred thousand
// groups of some 50 bytes each.
constexpr int64_t MaxListBlock = TktSocket::DefaultMaxBlockSize;

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
    // The socket writes its log as it ends, to the file Settings names.
    TakeServerFields();
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

// A reply is accepted when it is 2xx, 3xx or 421 ("no next article"), or
// when the command that waits expects it (JudgeReply).
void TmsNNTP::CheckReply(const std::string& reply)
{
    // Every whole reply line passes here, an error reply too.
    session_.NoteReplyRead();
    switch (JudgeReply(reply, rules_, session_.ReaderModeWanted())) {
    case TReplyVerdict::Answer:
        return;
    case TReplyVerdict::LoginRefused:
        RaiseSocketError(LoginFailureText(reply));
    case TReplyVerdict::NoSuchArticle:
        throw ENoSuchArticle(FireError(reply));
    case TReplyVerdict::Error:
        break;
    }
    RaiseSocketError(reply);
}

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
    pipeline_.DropInFlight();
    SendCommand(line);
}

// The server may want a login first (its session may have expired), or, on
// a server that switches modes, MODE READER: then the command goes out once
// more, and a second refusal is an error.
void TmsNNTP::SendCommand(std::string_view line)
{
    SendAndRead(line, true);
    if (!UserName.empty() && IsReplyCode(LastReply, "480"))
        session_.LogIn();
    else if (IsRefusal(LastReply) && session_.ReaderModeWanted())
        session_.SwitchToReaderMode();
    else
        return;
    SendAndRead(line, false);
}

void TmsNNTP::SendAndRead(std::string_view line, bool mayRetry)
{
    Send(line);
    const TFlagScope loginMayFollow(rules_.loginMayFollow, mayRetry && !UserName.empty());
    const TFlagScope readerModeMayFollow(rules_.readerModeMayFollow, mayRetry);
    ReadServerReply();
}

void TmsNNTP::Send(std::string_view line)
{
    SendShown(line, line);
}

void TmsNNTP::SendShown(std::string_view line, std::string_view shown)
{
    SendLineShown(line, shown);
    session_.NoteCommandSent();
}

void TmsNNTP::ReadServerReply()
{
    session_.ReadAsidesDue();
    ReadReply(LastReply);
    if (LastReply.empty()) {
        // The server hung up; nothing more will come.
        Close();
        RaiseSocketError(std::string(SConnectionClosed));
    }
}

auto TmsNNTP::ReadAnswer(int64_t maxData) -> TAnswer
{
    ReadServerReply();
    TAnswer answer { LastReply, {} };
    if (IsDataReply(answer.reply)) {
        TMemoryStream data;
        if (session_.CompressedBlocks() && MarksCompressedBlock(answer.reply))
            ExpectCompressedBlock();
        ReadMultiLine(data, -1, maxData);
        answer.data = std::string(data.View());
    }
    return answer;
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
    pipeline_.DropInFlight();
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
    session_.NoteReaderMode();
    // Only a 211 reply counts the group; the other accepted one (421)
    // leaves it without articles.
    const bool counted = IsReplyCode(LastReply, "211");
    articleCount_ = counted ? RepliedNumber(1) : 0;
    firstArticle_ = counted ? RepliedNumber(2) : 0;
    lastArticle_ = counted ? RepliedNumber(3) : 0;
    SetCurrent(firstArticle_);
    if (!same) {
        lastHeaderNumber_.reset();
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
    lastHeaderNumber_.reset();
}

// Nothing (a first walk) comes before every number.
void TmsNNTP::WalkAgainAfter(std::optional<TArticleNumber> number)
{
    RequireIdle();
    lastHeaderNumber_ = std::min(lastHeaderNumber_, number);
}

void TmsNNTP::ResumeAfter(TArticleNumber number)
{
    RequireIdle();
    if (!lastHeaderNumber_ && number <= lastArticle_)
        lastHeaderNumber_ = number;
}

void TmsNNTP::SetCurrent(TArticleNumber number)
{
    currentArticle_ = number;
    serverArticle_ = number;
}

// A number that does not read is no number to go on from: every later
// command would work on an article nobody named.
TArticleNumber TmsNNTP::RepliedNumber(int index)
{
    const std::optional<TArticleNumber> number = ReplyNumber(LastReply, index);
    if (!number)
        RaiseSocketError(SMalformedReply + LastReply);
    return *number;
}

void TmsNNTP::SetCurrentArticle(TArticleNumber number)
{
    SetCurrentArticle({ number, {} });
}

// STAT always names a number here; a reference without one asks for the
// current article.
void TmsNNTP::SetCurrentArticle(const TArticleRef& asked)
{
    RequireIdle();
    RequireGroup();
    Command(asked.number ? "STAT " + std::to_string(*asked.number) : std::string("STAT"));
    RequireInStep(asked);
    // 421 ("no next article") is accepted, with whatever number it gives.
    if (IsReplyCode(LastReply, "421")) {
        if (const std::optional<TArticleNumber> number = ReplyNumber(LastReply, 1))
            SetCurrent(*number);
        return;
    }
    SetCurrent(RepliedNumber(1));
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
    // NoArticle stands for "no number" (RFC 3977 answers 0 for a
    // message-id). A reply to a number must name one.
    const TArticleNumber askedNumber = asked.number.value_or(NoArticle);
    const TArticleNumber number = askedNumber != NoArticle ? RepliedNumber(1) : NoArticle;
    if (askedNumber != NoArticle && number != NoArticle && number != askedNumber)
        RaiseOutOfStep("asked for article " + std::to_string(askedNumber) + ", the server answered for "
            + std::to_string(number));
    const std::string answeredId = ReplyMessageId(LastReply);
    if (answeredId.empty() || (askedNumber == NoArticle && asked.messageId.empty()))
        return;
    const std::string expectedId = asked.messageId.empty() ? HeaderIdOf(askedNumber) : asked.messageId;
    if (answeredId == expectedId)
        return;
    const bool another = NamesOtherHeader(answeredId, askedNumber);
    if (number != NoArticle && number == askedNumber && !another) {
        if (!expectedId.empty())
            NoteInLog("Note: article " + std::to_string(number) + " is " + answeredId + ", its header said "
                + expectedId);
        return;
    }
    if (expectedId.empty() && !another)
        return;
    const std::string askedFor = expectedId.empty() ? std::to_string(askedNumber) : expectedId;
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
void TmsNNTP::TakeHeader(TArticleNumber number)
{
    takenNumbers_.push_back(number);
    if (takenNumbers_.size() <= RememberedTakenHeaders)
        return;
    takenNumbers_.pop_front();
    walkIds_->ForgetBelow(takenNumbers_.front());
}

std::string TmsNNTP::HeaderIdOf(TArticleNumber number) const
{
    if (number == NoArticle)
        return {};
    std::string id = walkIds_->IdOf(number);
    for (auto other = otherIds_.begin(); id.empty() && other != otherIds_.end(); ++other)
        id = (*other)->IdOf(number);
    return id;
}

bool TmsNNTP::NamesOtherHeader(const std::string& id, TArticleNumber number) const
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

// The plain command sequences never leave the two apart.
void TmsNNTP::CatchUpServerArticle()
{
    if (!UseOverview)
        return;
    pipeline_.Finish();
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
    SetCurrent(RepliedNumber(1));
    return true;
}

void TmsNNTP::RetrieveHeader(TmsNgInfoItem& item)
{
    RequireIdle();
    RequireGroup();
    CatchUpServerArticle();
    TMemoryStream data;
    DataCommand("HEAD", data, -1, HeaderBlockLimit());
    item.Number = RepliedNumber(1);
    data.SetPosition(0);
    item.LoadFromStream(data);
}

void TmsNNTP::RetrieveHeaders(int64_t count, bool append)
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
        if (UseOverview && overviewWalk_.Walk(count))
            return;
        THeadWalk(*this).Walk(count);
    } catch (...) {
        // The headers whose handlers finished are taken: the next walk goes
        // on after them, and the header whose handling failed (Stop during
        // its article, a full disk) comes again rather than being lost.
        if (handledNumber_ > lastHeaderNumber_)
            lastHeaderNumber_ = handledNumber_;
        throw;
    }
}

void TmsNNTP::FireHeaderRetrieved(int index, TArticleNumber number)
{
    if (OnNextHeaderRetrieved)
        OnNextHeaderRetrieved(this, index);
    handledNumber_ = number;
}

bool TmsNNTP::GroupIsEmpty() const
{
    return articleCount_ == 0 || lastArticle_ < firstArticle_;
}

TArticleNumber TmsNNTP::FirstWalkNumber() const
{
    return FirstOfLast(lastArticle_, StartBeforeEnd, firstArticle_);
}

void TmsNNTP::RetrieveArticle()
{
    RequireIdle();
    RequireGroup();
    ReadArticle("");
}

void TmsNNTP::RetrieveArticleByNumber(TArticleNumber number, std::string_view messageId)
{
    RequireIdle();
    RequireGroup();
    RequireArticle();
    const TArticleRef asked { number, std::string(messageId) };
    if (UseOverview) {
        pipeline_.Fetch(asked);
        return;
    }
    SetCurrentArticle(asked);
    ReadArticle("");
}

void TmsNNTP::ReadArticle(std::string_view ref)
{
    RequireIdle();
    RequireArticle();
    if (!IsSafeArgument(ref))
        RaiseSocketError(std::string(SInvalidArgument));
    pipeline_.Read(ref);
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

TAnswer TmsNNTP::ReadOverviewRange(TArticleNumber first, TArticleNumber last, bool xover)
{
    return overviewWalk_.ReadRange(first, last, xover);
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
    TakeServerFields();
    CheckServer();
    TmsMailBase::Open();
}

void TmsNNTP::TakeServerFields()
{
    TktSocket& socket = *this;
    socket.Server = Settings.Server;
    socket.UseTLS = Settings.UseTLS;
    socket.TrustedFingerprint = Settings.TrustedFingerprint;
    socket.LogFileName = Settings.LogFileName;
}

void TmsNNTP::Close()
{
    session_.Forget();
    overviewWalk_.Forget();
    pipeline_.Forget();
    TmsMailBase::Close();
}

void TmsNNTP::StartSession()
{
    RequireIdle();
    const TBusy busy(*this);
    session_.Start();
}

// Replies still on their way (articles, or what the server offers) are not
// worth waiting for: without a QUIT the server simply sees the connection
// end.
void TmsNNTP::EndSession()
{
    RequireIdle();
    const TBusy busy(*this);
    newsGroup_.clear();
    if (pipeline_.Owed() || overviewWalk_.Owed() || session_.AsidesOwed()) {
        Close();
        return;
    }
    session_.Quit();
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
