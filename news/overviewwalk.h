// The overview walk of the news client: the headers read from the server's
// overview database in rounds of OVER (or XOVER) commands sent at once, each
// range's headers handed on as soon as that range is read, and the articles
// WillFetchArticles foresees for them handed to the article pipeline. Part
// of TmsNNTP, whose contract (UseOverview and RetrieveHeaders in msnntp.h)
// it keeps; the round on its way lasts until it is read or the connection
// closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "news/articlenumber.h"
#include "news/msnwscls.h"
#include "news/nntpreplies.h"

namespace lumigrab {

class TmsNNTP;

// Further connections that read overview ranges for a walk while its own
// connection reads others: in a Go, the connection pool's
// (news/fetchpool.h), each connection with the group selected. The walk
// hands ranges over in walk order and takes their answers back in that
// order, so that its headers come in article order however the
// connections share the work. All calls on the walk's thread.
class TOverviewHelpers {
public:
    virtual ~TOverviewHelpers() = default;

    // Connections that may read ranges now, working or still coming up; 0
    // while none can.
    virtual int RangeReaders() const = 0;
    // Hands a range over under ticket (unique for the helpers' life): one
    // of the connections sends OVER (XOVER when xover) first-last and reads
    // the answer, error replies included. A connection that breaks hands
    // the range on to another.
    virtual void ReadRange(uint64_t ticket, TArticleNumber first, TArticleNumber last, bool xover) = 0;
    // The range's answer, once in (the event loop runs meanwhile). Nothing
    // when the walk is to read it itself: when takeBack and no connection
    // has started on it yet, or when every connection has given up. Raises
    // the error that ended the helpers (ECanceledError after Stop).
    virtual std::optional<TAnswer> TakeRange(uint64_t ticket, bool takeBack) = 0;
    // The answers of the ranges handed over are not wanted any more.
    virtual void ForgetRanges() = 0;
};

class TOverviewWalk {
public:
    explicit TOverviewWalk(TmsNNTP& client);
    TOverviewWalk(const TOverviewWalk&) = delete;
    TOverviewWalk& operator=(const TOverviewWalk&) = delete;

    // Takes up to count headers (count <= 0: to the group's end) after the
    // client's LastHeaderNumber, firing the client's events. False, with
    // nothing taken, when the server has no overview.
    bool Walk(int64_t count);

    // Overview commands of the round are on their way.
    bool Owed() const { return !round_.inFlight.empty(); }
    // Reads every overview reply in flight, so that the reply after them is
    // next: before any other reply is read.
    void ReadRangesAhead();
    // The connection is gone, and the round's answers with it.
    void Forget();

    // For a connection that reads ranges for another client's walk
    // (TmsNNTP::ReadOverviewRange).
    TAnswer ReadRange(TArticleNumber first, TArticleNumber last, bool xover);

private:
    // A stretch of article numbers asked for with one overview command.
    struct TRange {
        TArticleNumber first;
        TArticleNumber last;
        // Reaches past the group's last article as GROUP reported it.
        bool final;
    };

    // A range's lines, read and not yet handed to the walk's handlers.
    struct TRangeAnswer {
        TRange range;
        std::vector<std::unique_ptr<TmsNgInfoItem>> items;
        // The error reply; empty when the range was answered.
        std::string failure;
    };

    // A range of the round, until its headers are delivered.
    struct TRoundRange {
        TRange range;
        // Its place in the round: ranges are read on the walk's own
        // connection in this order.
        uint64_t serial = 0;
        // Handed to the helpers under this ticket; none: read on the walk's
        // own connection.
        std::optional<uint64_t> ticket;
        // The reply and data, once read and until its lines are.
        std::optional<TAnswer> answer;
        // Its lines, once read in walk order.
        std::optional<TRangeAnswer> lines;
    };

    // The overview commands of a round and what came of them.
    struct TRound {
        // Undelivered, in walk order.
        std::deque<TRoundRange> ranges;
        // The serials of the ranges sent on the walk's own connection whose
        // replies are not read yet, in order. On the connection they come
        // before every ARTICLE in flight.
        std::deque<uint64_t> inFlight;
        uint64_t nextSerial = 0;
        // A range failed, or the round was abandoned: the answers still to
        // come are read and dropped.
        bool failed = false;
        // The last number an overview line of the round listed, or taken
        // before it; none before a first walk's first line.
        std::optional<TArticleNumber> listedAfter;
        // Headers whose articles may still be foreseen (the walk's count).
        int64_t foreseeBudget = 0;
    };

    TmsNNTP& client_;
    TRound round_;
    // Tickets of the ranges handed to the helpers, over the walk's life.
    uint64_t nextTicket_ = 1;

    std::vector<TRange> PlanRanges(TArticleNumber first, int64_t budget, int span, size_t most) const;
    // Overview commands the walk's own connection sends at once: up to
    // MaxRangesInFlight to a server that takes pipelining.
    size_t RangesAtOnce() const;
    // The helpers the round may share its ranges with: nullptr unless the
    // server has shown its overview and a helper can read ranges.
    TOverviewHelpers* Helpers() const;
    bool UsesXOver() const;
    std::string RangeCommand(const TRange& range) const;
    // Starts a round: sends the ranges of the walk's own connection at once
    // and hands the others to the helpers; after: the last number taken,
    // budget: the headers the walk's count leaves.
    void SendRanges(
        const std::vector<TRange>& ranges, std::optional<TArticleNumber> after, int64_t budget);
    void SendOwn(TRoundRange& range);
    TRoundRange& RangeOfSerial(uint64_t serial);
    // The next range's lines in walk order, read now when they were not
    // read ahead; nothing when the round is done.
    std::optional<TRangeAnswer> NextRangeAnswer();
    // Reads the oldest reply in flight on the walk's own connection.
    void ReadNextRange();
    // The front range's answer from the helper that read it, or read on the
    // walk's own connection when no helper does.
    void TakeFromHelpers(TRoundRange& range);
    // Reads the lines of the answers in, in walk order as far as they go:
    // asks WillFetchArticles about each header and sends ARTICLE for the
    // articles foreseen.
    void ReadAnswersInOrder();
    void ReadLines(TRoundRange& range);
    // Reads and drops the round's answers still to come.
    void DropRanges();
    // Without a format known, after the first overview answer.
    void TakeFormatAfterFirstRange();
    void ReadRangeItems(const TAnswer& answer, TRangeAnswer& read);
    // Hands the articles WillFetchArticles names for the header to the
    // pipeline, within the round's budget.
    void ForeseeArticles(const TmsNgInfoItem& header);
};

} // namespace lumigrab
