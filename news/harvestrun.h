// One Go: the pictures of a newsgroup, as the main window's Go button and
// lumigrab-harvest fetch them. Selects the group, walks its headers on the
// client, hands the articles worth fetching to the harvest (news/harvest.h)
// and, with more than one connection, to a pool of further connections
// (news/fetchpool.h) for the length of the Go; a walk that faces more
// headers than ten overview ranges hold is shared with the pool's
// connections too (TmsNNTP::OverviewHelpers), which are then compressed as
// the client is; joins multi-part posts
// through the harvest, tells the posts left incomplete once at the group's
// end, and ends on the first error or on Stop.
//
// What the next Go resumes from is kept on the client: the walk goes on
// after its last header, except that articles a pool had not brought when
// a Go ended early are walked again (TmsNNTP::WalkAgainAfter), so none is
// lost. With a harvest, it is also kept in the picture folder per server
// and group (news/walkpositions.h), at least once a second while the walk
// runs and when a Go ends, so that the first Go of a later run goes on
// there too.
//
// While the run lives it handles the client's OnNextHeaderRetrieved and
// OnLastHeaderRetrieved (and its events below say what happened there);
// the client's other events stay the caller's. A walk started on the
// client outside Go is harvested too, without a pool. No widgets: callers
// turn the events into status texts, counters or lines of output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <optional>
#include <unordered_map>

#include "news/articlenumber.h"
#include "news/headerfilter.h"
#include "news/walkprogress.h"

namespace lumigrab {

class TFetchPool;
class THarvest;
class TmsNgInfoItem;
class TmsNNTP;
class TWalkPositions;

// How one Go walks; how many connections fetch is the server's
// (TServerSettings::Connections, in the client's Settings).
struct THarvestRunSettings {
    // Headers one Go takes; 0 walks to the group's end.
    int64_t HeaderBatch = 0;
    // How the pooled connections end after a Go that ran to its end:
    // cancelled at once (false), as a window must not wait for a connection
    // still coming up, or each saying QUIT first, for a caller that can
    // wait and whose logs then show whole sessions. After an error or Stop
    // they are always cancelled.
    bool PoolQuits = false;
};

class THarvestRun {
public:
    // harvest: where the walked headers go; nullptr walks without keeping
    // anything (and without a pool). Neither is owned; both outlive the
    // run.
    THarvestRun(TmsNNTP& client, THarvest* harvest);
    // Ends a pool still running and lets go of the client's events.
    ~THarvestRun();
    THarvestRun(const THarvestRun&) = delete;
    THarvestRun& operator=(const THarvestRun&) = delete;

    // The harvest headers go to from now on, nullptr for none; not while a
    // Go runs.
    void SetHarvest(THarvest* harvest);

    // Selects group, walks settings.HeaderBatch headers from where the last
    // walk on it ended and waits until the pool, if any, has brought every
    // article it was handed. Errors of the walk and of the pool (and
    // ECanceledError after Stop) end the Go and reach the caller; the pool
    // is ended either way.
    void Go(std::string_view group, const THarvestRunSettings& settings);
    // Cancels what runs on the client and on the pool, at once. Callable
    // from any handler running nested in a Go, and while none runs (it then
    // cancels whatever the client does).
    void Stop();

    // The running Go's walk: headers walked of those it faces, and their
    // rate. Counted before OnHeaderWalked fires.
    const TWalkProgress& Progress() const { return progress_; }

    // A header the walk reached, before it is harvested: its index in the
    // client's HeaderList, the header, and the article's expected size.
    std::function<void(int index, const TmsNgInfoItem& header, int64_t expectedBytes)> OnHeaderWalked;
    // The walk reached the group's end; the pool's articles are in and the
    // incomplete posts are told right after.
    std::function<void()> OnLastHeader;
    // An article a pooled connection brought, with the size its header
    // gave.
    std::function<void(int64_t bytes)> OnArticleArrived;
    // The pool's own reports: connections refused ("2 connections refused:
    // fetching with 5") and the error that ends its run.
    std::function<void(const std::string& report)> OnPoolLowered;
    std::function<void(const std::string& message)> OnPoolError;

private:
    void HeaderWalked(int index);
    void LastHeader();
    void StartPool();
    // Cancelled, or asked to QUIT (see THarvestRunSettings::PoolQuits).
    void EndPool(bool quit = false);
    void WalkAgainAfterUnfinished();
    // The kept position: where the first walk of the group goes on, and
    // where the next run's will (the headers whose articles are all in).
    void ResumeFromKeptPosition();
    void KeepPositionNowAndThen();
    void KeepPosition(std::optional<TArticleNumber> walked);
    std::optional<TArticleNumber> SafePosition() const;
    std::string ServerKey() const;

    TmsNNTP& client_;
    THarvest* harvest_;
    TWalkProgress progress_;
    std::unique_ptr<TFetchPool> pool_;
    // The articles on the pool's connections, by number, until they are in.
    struct TPooledArticle {
        // What the header says, for the transfer speed.
        int64_t bytes = 0;
        // The header walked before: after a Stop the next walk goes on
        // after it, as the article never came (none: where a first walk
        // starts).
        std::optional<TArticleNumber> after;
    };
    std::unordered_map<TArticleNumber, TPooledArticle> pooledArticles_;
    // The parts of multi-part posts, which the pool may fetch once their
    // post is complete: their header's size, for the transfer speed only.
    std::unordered_map<TArticleNumber, int64_t> partBytes_;
    std::optional<TArticleNumber> lastWalked_;
    // The highest connection number whose log a pool wrote; later pools add
    // to those logs.
    int pooledLogs_ = 1;
    std::unique_ptr<TWalkPositions> positions_;
    std::chrono::steady_clock::time_point lastKept_ {};
};

} // namespace lumigrab
