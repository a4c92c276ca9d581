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

private:
    // A stretch of article numbers asked for with one overview command.
    struct TRange {
        TArticleNumber first;
        TArticleNumber last;
        // Reaches past the group's last article as GROUP reported it.
        bool final;
    };

    // A range's answer, read and not yet handed to the walk's handlers.
    struct TRangeAnswer {
        TRange range;
        std::vector<std::unique_ptr<TmsNgInfoItem>> items;
        // The error reply; empty when the range was answered.
        std::string failure;
    };

    // The overview commands sent at once and what came of them.
    struct TRound {
        // Sent, their replies not read yet, in order. On the connection
        // they come before every ARTICLE in flight.
        std::deque<TRange> inFlight;
        // Read ahead of their headers' events (to reach an article's reply
        // behind them), in order.
        std::deque<TRangeAnswer> read;
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

    std::vector<TRange> PlanRanges(TArticleNumber first, int64_t budget, int span, size_t most) const;
    // Overview commands sent at once: up to MaxRangesInFlight to a server
    // that takes pipelining.
    size_t RangesAtOnce() const;
    std::string RangeCommand(const TRange& range) const;
    // Starts a round: sends its overview commands at once; after: the last
    // number taken, budget: the headers the walk's count leaves.
    void SendRanges(
        const std::vector<TRange>& ranges, std::optional<TArticleNumber> after, int64_t budget);
    // The next range's answer in walk order, read now when it was not read
    // ahead; nothing when the round is done.
    std::optional<TRangeAnswer> NextRangeAnswer();
    // Reads the oldest overview reply in flight, asks WillFetchArticles about
    // each header it lists and sends ARTICLE for the articles foreseen.
    void ReadNextRange();
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
