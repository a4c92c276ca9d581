#include "news/articlepipeline.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <utility>

#include "base/sysutils.h"
#include "news/msnntp.h"

namespace lumigrab {

namespace {

// The transport estimates 76 bytes per line; larger counts would
// overflow its byte estimate.
constexpr int32_t MaxEstimatedLines = INT_MAX / 76;
constexpr int MaxPipelineDepth = 4;

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

TArticlePipeline::TArticlePipeline(TmsNNTP& client)
    : client_(client)
{
}

void TArticlePipeline::Read(std::string_view ref)
{
    if (!client_.UseOverview) {
        ReadPlain(ref);
        return;
    }
    if (const std::optional<TArticleNumber> number = ArticleNumberOf(ref)) {
        Fetch({ number, {} });
        return;
    }
    if (ref.empty())
        client_.CatchUpServerArticle();
    FetchNow(ref, ref.empty() ? HeaderLineCount(client_.CurrentArticle()) : -1);
}

// The header's "Lines" value, read to estimate the transfer's progress;
// -1 when missing or not a usable count.
int32_t TArticlePipeline::ReadLineCount(std::string_view ref, TMemoryStream& buffer)
{
    client_.DataCommand(WithArgument("HEAD", ref), buffer, -1, client_.HeaderBlockLimit(), ArticleRefOf(ref));
    buffer.SetPosition(0);
    TmsHeaders headers;
    headers.LoadFromStream(buffer);
    return LineCountOf(headers);
}

int32_t TArticlePipeline::HeaderLineCount(TArticleNumber number) const
{
    const TmsNgInfoItem* header = client_.HeaderList.Find(number);
    return header ? LineCountOf(*header) : -1;
}

void TArticlePipeline::ReadPlain(std::string_view ref)
{
    TMemoryStream buffer;
    const int32_t lines = ReadLineCount(ref, buffer);
    client_.article_->Clear();
    buffer.Clear();
    client_.DataCommand(WithArgument("ARTICLE", ref), buffer, lines, client_.MaxArticleSize, ArticleRefOf(ref));
    buffer.SetPosition(0);
    if (client_.TakeArticleText) {
        client_.TakeArticleText(buffer.View());
    } else {
        // The decoder lets the event loop run between parts.
        const TmsNNTP::TBusy busy(client_);
        client_.article_->LoadFromStream(buffer);
    }
    client_.Fire(client_.OnArticleRetrieved);
}

// The article may have been sent for ahead; then its reply is next, once
// those of articles sent for and not asked for are read.
void TArticlePipeline::Fetch(const TArticleRef& asked)
{
    client_.RequireIdle();
    client_.RequireArticle();
    // Fetches are by number.
    const TArticleNumber number = asked.number.value_or(NoArticle);
    const int32_t lines = HeaderLineCount(number);
    {
        const TmsNNTP::TBusy busy(client_);
        const bool held = TakeHeld(number);
        if (!held)
            PrepareArticle(number);
        // The next articles are on their way while this one is read.
        TopUp();
        if (!held) {
            state_.inFlight.pop_front();
            ReadArticleReply("ARTICLE " + std::to_string(number), lines, asked);
        }
        client_.SetCurrent(number);
        LoadArticle();
    }
    client_.Fire(client_.OnArticleRetrieved);
}

void TArticlePipeline::FetchNow(std::string_view ref, int32_t lines)
{
    client_.RequireIdle();
    {
        const TmsNNTP::TBusy busy(client_);
        DropInFlight();
        const std::string command = WithArgument("ARTICLE", ref);
        client_.Send(command);
        ReadArticleReply(command, lines, ArticleRefOf(ref));
        LoadArticle();
    }
    client_.Fire(client_.OnArticleRetrieved);
}

// Reads the reply to an ARTICLE command already sent and the article into
// articleText_. A 480 logs in and sends the command once more; the commands
// sent after it met the same refusal.
void TArticlePipeline::ReadArticleReply(const std::string& command, int32_t lines, const TArticleRef& asked)
{
    client_.overviewWalk_.ReadRangesAhead();
    {
        const TFlagScope loginMayFollow(client_.rules_.loginMayFollow, !client_.UserName.empty());
        client_.ReadServerReply();
    }
    if (!client_.UserName.empty() && IsReplyCode(client_.LastReply, "480")) {
        // They are asked for again in their turn.
        state_.foreseen.insert(state_.foreseen.begin(), state_.inFlight.begin(), state_.inFlight.end());
        DropInFlight();
        client_.session_.LogIn();
        client_.Send(command);
        client_.ReadServerReply();
    }
    if (client_.LastReply[0] != '2')
        client_.RaiseSocketError(client_.LastReply);
    client_.article_->Clear();
    articleText_.Clear();
    client_.RequireInStep(asked);
    TLineCountProbe probe(articleText_);
    try {
        client_.ReadMultiLine(articleText_, lines, client_.MaxArticleSize, [&] { return probe(); });
    } catch (...) {
        // What a block beyond the bound filled is given back, not kept for
        // the next article.
        articleText_.AssignBuffer({});
        throw;
    }
}

// The decoder lets the event loop run between parts; the caller holds the
// busy stretch.
void TArticlePipeline::LoadArticle()
{
    if (client_.TakeArticleText) {
        client_.TakeArticleText(articleText_.View());
        articleText_.Clear();
        return;
    }
    articleText_.SetPosition(0);
    client_.article_->LoadFromStream(articleText_);
    articleText_.Clear();
}

int TArticlePipeline::Depth() const
{
    return client_.session_.Offer().pipelining ? std::clamp(client_.PipelineDepth, 1, MaxPipelineDepth) : 1;
}

void TArticlePipeline::Forget()
{
    state_ = {};
}

void TArticlePipeline::Foresee(TArticleNumber header, const std::vector<TArticleNumber>& numbers)
{
    for (const TArticleNumber number : numbers)
        state_.foreseen.push_back({ header, number });
}

void TArticlePipeline::ForgetForeseen()
{
    state_.foreseen.clear();
}

void TArticlePipeline::Fill(TArticleNumber header)
{
    std::deque<TAhead>& foreseen = state_.foreseen;
    // The handler has passed those headers: what it did not fetch then it
    // will not fetch.
    while (!foreseen.empty() && foreseen.front().header < header)
        foreseen.pop_front();
    if (foreseen.empty() || state_.inFlight.size() >= size_t(Depth()) || !client_.Connected())
        return;
    client_.RequireIdle();
    const TmsNNTP::TBusy busy(client_);
    TopUp();
}

void TArticlePipeline::TopUp()
{
    while (!state_.foreseen.empty() && state_.inFlight.size() < size_t(Depth())) {
        SendArticleCommand(state_.foreseen.front());
        state_.foreseen.pop_front();
    }
}

void TArticlePipeline::SendArticleCommand(const TAhead& ahead)
{
    client_.Send("ARTICLE " + std::to_string(ahead.number));
    state_.inFlight.push_back(ahead);
}

// Articles announced before the one asked for and not fetched were wrong
// guesses: read and dropped. One never announced goes after those in
// flight, which are held.
void TArticlePipeline::PrepareArticle(TArticleNumber number)
{
    const auto isNumber = [number](const TAhead& ahead) { return ahead.number == number; };
    std::deque<TAhead>& inFlight = state_.inFlight;
    if (std::any_of(inFlight.begin(), inFlight.end(), isNumber)) {
        state_.held.clear();
        while (inFlight.front().number != number)
            DropOldestInFlight();
        return;
    }
    std::deque<TAhead>& foreseen = state_.foreseen;
    const auto candidate = std::find_if(foreseen.begin(), foreseen.end(), isNumber);
    if (candidate != foreseen.end()) {
        const TAhead ahead = *candidate;
        foreseen.erase(foreseen.begin(), std::next(candidate));
        DropInFlight();
        SendArticleCommand(ahead);
        return;
    }
    HoldInFlight();
    SendArticleCommand({ client_.CurrentArticle(), number });
}

void TArticlePipeline::Finish()
{
    state_.held.clear();
    if (state_.inFlight.empty())
        return;
    client_.RequireIdle();
    const TmsNNTP::TBusy busy(client_);
    DropInFlight();
}

void TArticlePipeline::DropInFlight()
{
    client_.overviewWalk_.ReadRangesAhead();
    state_.held.clear();
    while (!state_.inFlight.empty())
        DropOldestInFlight();
}

// An article sent for and then not asked for: read and forgotten, whatever
// the reply.
void TArticlePipeline::DropOldestInFlight()
{
    ReadOldestInFlight();
}

auto TArticlePipeline::ReadOldestInFlight() -> std::optional<THeld>
{
    client_.overviewWalk_.ReadRangesAhead();
    const TArticleNumber number = state_.inFlight.front().number;
    state_.inFlight.pop_front();
    const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
    client_.ReadServerReply();
    if (client_.LastReply[0] != '2')
        return std::nullopt;
    client_.RequireInStep({ number, {} });
    TMemoryStream text;
    client_.ReadMultiLine(text, -1, client_.MaxArticleSize);
    client_.serverArticle_ = number;
    return THeld { number, text.TakeBuffer() };
}

// The handler fetches an article it did not announce (the copy of a part
// that is gone, say): the ones on their way are still to come after it, so
// they are kept rather than fetched twice. An error reply is not kept; that
// article is asked for again in its turn.
void TArticlePipeline::HoldInFlight()
{
    while (!state_.inFlight.empty()) {
        std::optional<THeld> held = ReadOldestInFlight();
        if (!held)
            continue;
        if (state_.held.size() >= size_t(Depth()))
            state_.held.pop_front();
        state_.held.push_back(std::move(*held));
    }
}

bool TArticlePipeline::TakeHeld(TArticleNumber number)
{
    std::deque<THeld>& held = state_.held;
    const auto found
        = std::find_if(held.begin(), held.end(), [number](const THeld& one) { return one.number == number; });
    if (found == held.end())
        return false;
    client_.article_->Clear();
    articleText_.AssignBuffer(std::move(found->text));
    held.erase(held.begin(), std::next(found));
    return true;
}

} // namespace lumigrab
