#include "news/overviewwalk.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "news/msnntp.h"
#include "news/overview.h"

namespace lumigrab {

namespace {

// Overview lines have a few hundred bytes; a range of a thousand fits many
// times over.
constexpr int64_t MaxOverviewBlock = int64_t(64) * 1024 * 1024;
constexpr int MaxOverviewRangeSize = 100000;
// After ranges that came back empty (a gap in the numbering), each next
// one is twice as wide, up to this many times the usual width.
constexpr int MaxRangeGrowth = 64;
// Overview commands sent at once to a server that takes pipelining: a
// round of ten thousand headers at the usual range size.
constexpr size_t MaxRangesInFlight = 10;

} // namespace

TOverviewWalk::TOverviewWalk(TmsNNTP& client)
    : client_(client)
{
}

// The walk reads the headers in rounds: up to MaxRangesInFlight ranges of
// OverviewRangeSize numbers sent at once. Each range's headers are handed
// to the handlers as soon as that range is read, while the later ones are
// still on their way, and the articles WillFetchArticles foresees for them
// are sent for before their events fire. A count that ends inside a round
// leaves the rest of it unused; the next walk reads on from the last
// header taken.
bool TOverviewWalk::Walk(int64_t count)
{
    TArticlePipeline& pipeline = client_.pipeline_;
    TNntpSession& session = client_.session_;
    pipeline.Finish();
    if (!session.DetectOverview())
        return false;
    // Helpers need the format: its reply, asked for along with the group,
    // is due by now.
    if (client_.OverviewHelpers && !session.Offer().overviewFormat && session.AsidesOwed()) {
        client_.RequireIdle();
        const TmsNNTP::TBusy busy(client_);
        session.ReadAsidesDue();
    }
    // Whatever leaves the walk, nothing of its round is handed on later.
    struct TForgetRound {
        TOverviewWalk& walk;
        ~TForgetRound()
        {
            walk.client_.pipeline_.ForgetForeseen();
            walk.round_.ranges.clear();
            walk.round_.failed = true;
            if (TOverviewHelpers* helpers = walk.client_.OverviewHelpers)
                helpers->ForgetRanges();
        }
    } forgetRound { *this };

    const int usualSpan = std::clamp(client_.OverviewRangeSize, 1, MaxOverviewRangeSize);
    int span = usualSpan;
    const std::optional<TArticleNumber> lastHeaderNumber = client_.lastHeaderNumber_;
    // None once the walk has reached the highest number there is.
    std::optional<TArticleNumber> next = !lastHeaderNumber
        ? std::max<TArticleNumber>(client_.FirstWalkNumber(), 1)
        : NumberAfter(*lastHeaderNumber, 1);
    if (lastHeaderNumber == MaxArticleNumber)
        next.reset();
    std::optional<TArticleNumber> lastNumber = lastHeaderNumber;
    int64_t taken = 0;
    // As in the HEAD walk, a count of 0 or less is never reached.
    const auto countReached = [&] { return taken > 0 && taken == count; };
    bool more = true;
    bool stopped = false;
    bool loginRetried = false;
    // A later range's error reply, raised once the headers before it are
    // delivered.
    std::string failure;
    while (!stopped && failure.empty()) {
        if (!next) {
            more = false;
            break;
        }
        const int64_t budget = count > 0 ? count - taken : INT64_MAX;
        TOverviewHelpers* helpers = Helpers();
        const size_t most = RangesAtOnce() * (helpers ? size_t(1 + helpers->RangeReaders()) : 1);
        SendRanges(PlanRanges(*next, budget, span, most), lastNumber, budget);
        const int loginsAtSend = session.Logins();
        bool anyItems = false;
        while (std::optional<TRangeAnswer> answer = NextRangeAnswer()) {
            if (!answer->failure.empty()) {
                DropRanges();
                // A server that has no overview says so to the first command.
                if (session.Offer().overview == TOverviewSupport::None)
                    return false;
                if (IsReplyCode(answer->failure, "480") && !client_.UserName.empty() && !loginRetried) {
                    loginRetried = true;
                    session.LogInAgainUnlessSince(loginsAtSend);
                    next = answer->range.first;
                    anyItems = true;
                } else {
                    failure = answer->failure;
                }
                break;
            }
            next = answer->range.last == MaxArticleNumber ? std::nullopt
                                                          : std::optional(answer->range.last + 1);
            anyItems = anyItems || !answer->items.empty();
            // Nothing beyond the last item: the group ends there.
            const bool groupEnds = answer->range.final
                && (answer->items.empty() || answer->items.back()->Number < answer->range.last);
            size_t delivered = 0;
            for (auto& item : answer->items) {
                pipeline.Fill(item->Number);
                lastNumber = item->Number;
                // Handlers find the header just taken as the current article.
                client_.currentArticle_ = item->Number;
                client_.TakeHeader(item->Number);
                const int index = client_.HeaderList.Add(std::move(item));
                ++delivered;
                ++taken;
                client_.FireHeaderRetrieved(index, *lastNumber);
                if (client_.Canceled() || countReached())
                    break;
            }
            if (groupEnds && delivered == answer->items.size())
                more = false;
            if (!more || client_.Canceled() || countReached()) {
                stopped = true;
                break;
            }
        }
        span = anyItems ? usualSpan : std::min(span * 2, usualSpan * MaxRangeGrowth);
    }

    pipeline.ForgetForeseen();
    if (!client_.Canceled()) {
        DropRanges();
        pipeline.Finish();
    }
    client_.lastHeaderNumber_ = lastNumber;
    if (client_.Canceled())
        throw ECanceledError();
    if (!failure.empty())
        client_.RaiseSocketError(failure);
    if (!more)
        client_.Fire(client_.OnLastHeaderRetrieved);
    return true;
}

void TOverviewWalk::Forget()
{
    round_ = {};
    if (client_.OverviewHelpers)
        client_.OverviewHelpers->ForgetRanges();
}

size_t TOverviewWalk::RangesAtOnce() const
{
    // Commands are sent ahead only to a server that has shown or announced
    // overview.
    const TOverviewSupport overview = client_.session_.Offer().overview;
    const bool shown = overview == TOverviewSupport::Over || overview == TOverviewSupport::XOver;
    if (!shown && overview != TOverviewSupport::TryOver)
        return 1;
    return client_.pipeline_.Depth() > 1 ? MaxRangesInFlight : 1;
}

// Helpers send the command the server announced or has shown, and their
// answers are read in walk order as the walk's own are, so that a server
// that fails an announced OVER is found out as it is without them. One that
// announces neither finds out on the walk's own connection alone.
TOverviewHelpers* TOverviewWalk::Helpers() const
{
    TOverviewHelpers* helpers = client_.OverviewHelpers;
    const TOverviewSupport overview = client_.session_.Offer().overview;
    const bool known = overview == TOverviewSupport::Over || overview == TOverviewSupport::XOver
        || overview == TOverviewSupport::TryOver;
    if (!helpers || !known || !client_.session_.Offer().overviewFormat || helpers->RangeReaders() < 1)
        return nullptr;
    return helpers;
}

// Ranges are as wide as span, whatever the count: gaps in the numbering
// make a range hold fewer headers than numbers. A range that reaches the
// group's last article reaches one number past it, so that its answer tells
// whether the group ends there.
auto TOverviewWalk::PlanRanges(TArticleNumber first, int64_t budget, int span, size_t most) const
    -> std::vector<TRange>
{
    std::vector<TRange> ranges;
    TArticleNumber start = first;
    while (true) {
        TArticleNumber last = NumberAfter(start, uint64_t(span) - 1);
        const bool final = last >= client_.lastArticle_;
        if (final)
            last = NumberAfter(last, 1);
        ranges.push_back({ start, last, final });
        budget -= span;
        if (final || budget <= 0 || ranges.size() >= most || last == MaxArticleNumber)
            return ranges;
        start = last + 1;
    }
}

bool TOverviewWalk::UsesXOver() const
{
    const TOverviewSupport overview = client_.session_.Offer().overview;
    return overview == TOverviewSupport::XOver || overview == TOverviewSupport::TryXOver;
}

std::string TOverviewWalk::RangeCommand(const TRange& range) const
{
    return (UsesXOver() ? "XOVER " : "OVER ") + std::to_string(range.first) + "-" + std::to_string(range.last);
}

// The replies of the last round are all read before the next one starts.
// With helpers, the walk's own connection takes every n-th range of the
// round (n connections in all) and the helpers the others, so that all
// move through the round side by side and its first headers come soon.
void TOverviewWalk::SendRanges(
    const std::vector<TRange>& ranges, std::optional<TArticleNumber> after, int64_t budget)
{
    client_.RequireIdle();
    const TmsNNTP::TBusy busy(client_);
    client_.pipeline_.DropInFlight();
    client_.pipeline_.ForgetForeseen();
    round_ = {};
    round_.listedAfter = after;
    round_.foreseeBudget = budget;
    TOverviewHelpers* helpers = Helpers();
    const size_t connections = helpers ? size_t(1 + helpers->RangeReaders()) : 1;
    for (size_t index = 0; index < ranges.size(); ++index) {
        TRoundRange& range = round_.ranges.emplace_back();
        range.range = ranges[index];
        range.serial = round_.nextSerial++;
        if (index % connections == 0) {
            SendOwn(range);
        } else {
            range.ticket = nextTicket_++;
            helpers->ReadRange(*range.ticket, range.range.first, range.range.last, UsesXOver());
        }
    }
}

void TOverviewWalk::SendOwn(TRoundRange& range)
{
    client_.Send(RangeCommand(range.range));
    round_.inFlight.push_back(range.serial);
}

auto TOverviewWalk::RangeOfSerial(uint64_t serial) -> TRoundRange&
{
    return round_.ranges[size_t(serial - round_.ranges.front().serial)];
}

auto TOverviewWalk::NextRangeAnswer() -> std::optional<TRangeAnswer>
{
    if (round_.ranges.empty())
        return std::nullopt;
    TRoundRange& next = round_.ranges.front();
    if (!next.lines) {
        client_.RequireIdle();
        const TmsNNTP::TBusy busy(client_);
        if (next.ticket)
            TakeFromHelpers(next);
        while (!next.answer && !next.lines)
            ReadNextRange();
        ReadAnswersInOrder();
    }
    TRangeAnswer answer = std::move(*next.lines);
    round_.ranges.pop_front();
    return answer;
}

// The walk's own connection reads what it has on its way first, rather than
// leave it in the socket and the server waiting while a helper reads; then
// it takes a range no helper has started on, rather than wait for it.
void TOverviewWalk::TakeFromHelpers(TRoundRange& range)
{
    ReadRangesAhead();
    std::optional<TAnswer> answer = client_.OverviewHelpers->TakeRange(*range.ticket, true);
    range.ticket.reset();
    if (answer) {
        range.answer = std::move(answer);
        return;
    }
    client_.pipeline_.DropInFlight();
    SendOwn(range);
}

// The ranges before a failed one were answered: their headers are delivered
// before the failure ends the walk, or they could never be harvested while
// the server keeps failing that range. Those after it are not: the next
// walk asks again from the failed one.
void TOverviewWalk::ReadNextRange()
{
    const uint64_t serial = round_.inFlight.front();
    round_.inFlight.pop_front();
    TAnswer answer;
    {
        const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
        answer = client_.ReadAnswer(std::min(MaxOverviewBlock, client_.MaxArticleSize));
    }
    if (round_.failed)
        return;
    RangeOfSerial(serial).answer = std::move(answer);
    ReadAnswersInOrder();
    // Their replies queue behind the overview replies still in flight.
    if (client_.Connected())
        client_.pipeline_.TopUp();
}

void TOverviewWalk::ReadAnswersInOrder()
{
    for (TRoundRange& range : round_.ranges) {
        if (round_.failed)
            return;
        if (range.lines)
            continue;
        if (!range.answer)
            return;
        ReadLines(range);
    }
}

void TOverviewWalk::ReadLines(TRoundRange& range)
{
    const TAnswer answer = std::move(*range.answer);
    range.answer.reset();
    TRangeAnswer& read = range.lines.emplace(TRangeAnswer { range.range, {}, {} });
    TServerOffer& offer = client_.session_.Offer();
    if (!IsOverviewAnswer(answer.reply)) {
        if ((offer.overview == TOverviewSupport::TryOver || offer.overview == TOverviewSupport::TryXOver)
            && !IsReplyCode(answer.reply, "480"))
            offer.overview = TOverviewSupport::None;
        read.failure = answer.reply;
        round_.failed = true;
        return;
    }
    if (offer.overview == TOverviewSupport::TryOver)
        offer.overview = TOverviewSupport::Over;
    else if (offer.overview == TOverviewSupport::TryXOver)
        offer.overview = TOverviewSupport::XOver;
    if (!offer.overviewFormat)
        TakeFormatAfterFirstRange();
    ReadRangeItems(answer, read);
    for (const auto& item : read.items)
        ForeseeArticles(*item);
}

void TOverviewWalk::ReadRangesAhead()
{
    while (!round_.inFlight.empty())
        ReadNextRange();
}

void TOverviewWalk::DropRanges()
{
    if (client_.OverviewHelpers)
        client_.OverviewHelpers->ForgetRanges();
    round_.ranges.clear();
    if (round_.inFlight.empty())
        return;
    client_.RequireIdle();
    const TmsNNTP::TBusy busy(client_);
    round_.failed = true;
    ReadRangesAhead();
}

// Sent alone on a connection of its own; a 480 logs in and asks once more.
TAnswer TOverviewWalk::ReadRange(TArticleNumber first, TArticleNumber last, bool xover)
{
    client_.RequireIdle();
    client_.RequireGroup();
    const TmsNNTP::TBusy busy(client_);
    client_.pipeline_.DropInFlight();
    const std::string command = (xover ? "XOVER " : "OVER ") + std::to_string(first) + "-" + std::to_string(last);
    TAnswer answer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        client_.Send(command);
        {
            const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
            answer = client_.ReadAnswer(std::min(MaxOverviewBlock, client_.MaxArticleSize));
        }
        if (attempt > 0 || client_.UserName.empty() || !IsReplyCode(answer.reply, "480"))
            break;
        client_.session_.LogIn();
    }
    return answer;
}

// A server of the older kind (no CAPABILITIES) once it has shown overview;
// one that takes pipelining and does not list the format uses the fixed
// fields. Asked only when no other reply is on its way.
void TOverviewWalk::TakeFormatAfterFirstRange()
{
    TNntpSession& session = client_.session_;
    const TServerOffer& offer = session.Offer();
    const bool ask = (offer.listsOverviewFormat || !offer.pipelining) && round_.inFlight.empty()
        && !client_.pipeline_.Owed();
    if (ask)
        session.AskOverviewFormat();
    // A refused list (say, 480 from a server that wants a login only now)
    // leaves the fixed fields, rather than no format at all.
    if (!session.Offer().overviewFormat)
        session.TakeOverviewFormat(std::nullopt);
}

// Lines outside the range, or not after the header before them, would take
// a header twice or walk backwards; they are passed over like lines that
// name no article.
void TOverviewWalk::ReadRangeItems(const TAnswer& answer, TRangeAnswer& read)
{
    if (!IsReplyCode(answer.reply, "224"))
        return;
    const TOverviewFormat& format = *client_.session_.Offer().overviewFormat;
    ForEachDataLine(answer.data, [&](std::string_view line) {
        auto item = std::make_unique<TmsNgInfoItem>();
        if (!ReadOverviewLine(line, format, *item))
            return;
        if (item->Number < read.range.first || item->Number > read.range.last
            || item->Number <= round_.listedAfter)
            return;
        round_.listedAfter = item->Number;
        client_.HoldHeader(*item);
        read.items.push_back(std::move(item));
    });
}

void TOverviewWalk::ForeseeArticles(const TmsNgInfoItem& header)
{
    if (!client_.WillFetchArticles || client_.pipeline_.Depth() < 2 || round_.foreseeBudget <= 0)
        return;
    --round_.foreseeBudget;
    client_.pipeline_.Foresee(header.Number, client_.WillFetchArticles(header));
}

} // namespace lumigrab
