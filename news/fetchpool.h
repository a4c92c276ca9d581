// A pool of further connections to the news server that fetch articles
// while the walk's own client goes on reading headers. A news provider caps
// the speed of each connection; several at once bring pictures as fast as
// the line allows.
//
// Each pooled connection is a TmsNNTP of its own on a worker thread of its
// own (a thread whose event loop runs the client's waits). It connects,
// logs in and uses TLS as the walk's client does (TFetchSettings), selects
// the walk's group, then fetches the articles handed to the pool one at a
// time (one ARTICLE each), decodes them on its thread and runs the order's
// keep handler there. A reply that names another article than the one
// asked for (another number, or the message-id of another header of the
// walk or of another article handed to the pool) is out of step, as on the
// walk's own connection: that connection is given up and the article goes
// to another, or the run ends with the error; it is never kept under the
// wrong article. Everything the owner sees (events, the keep handler's
// follow-up, Drain's end) happens on the thread that created the pool, as
// queued invocations: the owner's event loop must run for results to
// arrive (the walk's waits and Drain run it).
//
// The pool fetches only what it was handed, each article once (a number
// handed twice is ignored), and sends nothing ahead of it. Pictures may be
// saved in another order than the articles were handed; the set is the
// same.
//
// It also reads overview ranges for the walk's client (TOverviewHelpers,
// set as the client's OverviewHelpers), before any article waiting: the
// walk's headers are what every later fetch waits for. A range whose
// connection breaks goes to another; when none is left the walk reads it
// itself.
//
// Use, with N connections in all (N > 1): once the walk's client has
// selected the group, TFetchPool pool(TFetchSettings::From(client), N - 1);
// harvest.SetPool(&pool); walk as before; harvest.FinishPool() at the
// walk's end; Stop next to the client's Cancel. The pool goes before the
// harvest.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "message/msmsg.h"
#include "news/headerids.h"
#include "news/msnntp.h"
#include "news/serversettings.h"

class QObject;

namespace lumigrab {

// How a pooled connection reaches the server: copied from the walk's
// client, so that it uses the same server, TLS, trusted certificate and
// account.
struct TFetchSettings {
    // Each connection writes its protocol log, when server.LogFileName is
    // not empty, to that path with "-2", "-3", ... put before the extension
    // (the walk's client is 1).
    TServerSettings server;
    int32_t timeOut = 600;
    int64_t maxArticleSize = TktSocket::DefaultMaxBlockSize;
    // The group the articles' numbers belong to.
    std::string newsGroup;
    // The message-ids of the headers the walk's client holds
    // (TmsNNTP::WalkHeaderIds); nullptr for none.
    std::shared_ptr<const THeaderIds> walkHeaderIds;
    // Connections numbered up to this one logged in an earlier pool of the
    // same session (one pool per walk): they add to their log file instead
    // of replacing it, so that each connection number keeps one log for the
    // session, as the walk's client does. 1: every file starts afresh.
    int loggedBefore = 1;
    // The connections read overview ranges for the walk too: they are
    // compressed as the walk's own is (TServerSettings::CompressHeaders).
    // Connections that only fetch articles are not: yEnc bodies deflate by
    // nothing (bench/compress_bench: 1.0001 of their size on the line),
    // while the server deflates them at a tenth of the speed it reads them.
    bool readsOverview = false;
    // A fill server's pool (news/fillservers.h): no group is selected, the
    // orders go by message-id, and a refusal of one article (a 480, a 502)
    // passes it on through its gone handler, as one the server lacks, for
    // the next server to be asked; it ends nothing.
    bool fillServer = false;

    // The settings of client, with its selected group and its walk's
    // headers.
    static TFetchSettings From(const TmsNNTP& client);
};

// Runs on the connection's thread with the decoded article: saves its
// pictures (SavePictures, safe on several threads at once) and returns
// what the owner does next on its own thread (fire the picture events,
// record the article in the folder index); an empty function for nothing.
// An exception it raises (a full disk) ends the run as OnError does.
using TKeepArticle = std::function<std::function<void()>(const TmsArticle& article)>;
// The same for an article taken as text (headers, an empty line, the body),
// not decoded: the parts of a multi-part post. It must not raise.
using TTakeText = std::function<std::function<void()>(std::string_view text)>;

// One article handed to the pool.
struct TFetchOrder {
    // NoArticle fetches by messageId instead (a fill server's pool).
    TArticleNumber number = NoArticle;
    // The header's; the article is fetched by number, and the reply must
    // not name another article's message-id. Empty when not known.
    std::string messageId;
    std::string subject;
    TKeepArticle keep;
    // When set, takes the article's text instead of keep. Such an order is
    // fetched whenever handed over, also a number handed over before: its
    // owner asks for each part once per join.
    TTakeText takeText;
    // When set, an article the server no longer has is told here, on the
    // owner's thread, instead of through OnArticleSkipped.
    std::function<void(const std::string& reason)> gone;
    // Connections that broke while fetching it; the pool's own count.
    int attempts = 0;
};

class TFetchPool : public TOverviewHelpers {
public:
    // A pool of size connections (1 to MaxConnections), started all at
    // once when the first article is handed over, so that a walk that finds
    // nothing to fetch opens none; each connects and selects the group on
    // its thread. Must be created on a thread with an event loop (the
    // owner's), after QCoreApplication.
    TFetchPool(TFetchSettings settings, int size);
    // Stops every connection and waits for their threads; results not yet
    // delivered are dropped.
    ~TFetchPool() override;
    TFetchPool(const TFetchPool&) = delete;
    TFetchPool& operator=(const TFetchPool&) = delete;

    // The connections asked for, and those not refused, failed or given up
    // so far.
    int Size() const { return size_; }
    int Working() const;
    // Whether the first article handed over started the connections.
    bool Started() const { return !workers_.empty(); }
    // Every connection started has connected, been refused or failed
    // (OnPoolLowered has come, if it comes); true while none was started.
    bool Settled() const { return settled_ == int(workers_.size()); }

    // Hands an article over. False when the pool cannot take it (every
    // connection was refused, or the pool was stopped or failed): the
    // caller fetches it itself. A number handed over before is taken as
    // done (true, nothing fetched), unless the order takes text or goes by
    // message-id.
    bool Submit(TFetchOrder order);

    // Orders handed back because every connection was refused or gave up
    // before fetching them, in the order they were handed over; the caller
    // fetches them on its own client. Taking them empties the list.
    std::vector<TFetchOrder> TakeReturned();

    // Takes back the oldest article no connection has started on, for the
    // owner to fetch itself: once the walk is over its client is idle and
    // fetches too. Nothing when none waits.
    std::optional<TFetchOrder> TakeWaiting();

    // Articles handed over whose results have not reached the owner yet.
    int Outstanding() const;
    // Runs the owner's event loop until every article handed over is done
    // and its results delivered (or handed back). Raises the error that
    // ended the run (OnError's), or ECanceledError after Stop.
    void Drain();
    // Raises what Drain would raise at its end; nothing while the run goes
    // on.
    void RaiseIfEnded() const;
    // Whether Submit takes articles: not stopped or failed, and some
    // connection is working or still trying.
    bool Accepting() const;

    // Overview ranges for the walk (see TOverviewHelpers); an article an
    // answer makes wait is not fetched before it. The ranges' connections
    // start with the first one, as with the first article.
    int RangeReaders() const override;
    void ReadRange(uint64_t ticket, TArticleNumber first, TArticleNumber last, bool xover) override;
    std::optional<TAnswer> TakeRange(uint64_t ticket, bool takeBack) override;
    void ForgetRanges() override;

    // Cancels every connection at once, from the owner's thread: each
    // abandons the article it fetches, nothing more is fetched, and Drain
    // raises ECanceledError. Articles not fetched are not reported.
    void Stop();
    bool Stopped() const;

    // The events, all on the owner's thread.
    //
    // An article the server no longer has (420, 423, 430): the subject and
    // "Gone from the server (430 No such article)", as the walk's client
    // reports it; nothing is kept and the article is not recorded.
    std::function<void(const std::string& subject, const std::string& reason)> OnArticleSkipped;
    // Connections refused by the server (a 4xx or 5xx greeting, a login
    // answered 481 or 502: the account has too many; a refused group) and
    // connections that could not be made at all (refused by the host, a
    // time-out, a TLS failure: the client's own message), reported once
    // when every connection has tried: "2 connections refused: fetching
    // with 6", "1 connection refused, 2 connections failed (Connection
    // timed out): fetching with 4". When none is left, M counts the walk's
    // client ("8 connections refused: fetching with 1") and the articles go
    // back to it (TakeReturned).
    std::function<void(const std::string& report)> OnPoolLowered;
    // The error that ends the run (a full disk, an article larger than
    // MaxArticleSize, an article that broke three connections): fired once;
    // every connection stops, and Drain raises it.
    std::function<void(const std::string& message)> OnError;
    // Each article done (kept, skipped or given up), after its keep
    // handler's follow-up: for counters.
    std::function<void(const TFetchOrder& order)> OnArticleDone;

private:
    struct TShared;
    class TWorker;

    std::shared_ptr<TShared> shared_;
    const int size_;
    std::vector<std::unique_ptr<TWorker>> workers_;
    // Context of the calls queued to the owner's thread.
    std::unique_ptr<QObject> owner_;

    // The owner's side; only touched on its thread.
    std::unordered_set<TArticleNumber> submitted_;
    std::vector<TFetchOrder> returned_;
    int outstanding_ = 0;
    int settled_ = 0;
    int refused_ = 0;
    // The messages of the connections that could not be made.
    std::vector<std::string> failures_;
    bool stopped_ = false;
    std::exception_ptr failure_;

    // Ranges handed over and not answered yet, answers not taken yet, and
    // ranges handed back because no connection was left.
    std::unordered_set<uint64_t> rangesOwed_;
    std::unordered_map<uint64_t, TAnswer> rangesRead_;
    std::unordered_set<uint64_t> rangesReturned_;

    // Results on their way to the owner's thread.
    std::mutex inboxMutex_;
    std::deque<std::function<void()>> inbox_;

    // Queues call to the owner's thread (from any thread); an exception it
    // raises ends the run.
    void Post(std::function<void()> call);
    void StartConnections();
    // Runs the calls queued so far, on the owner's thread.
    void Deliver();
    void WakeAll();
    void CancelAll();
    // How a connection's start ended: connected (nothing), refused by the
    // server, or failed with the client's message.
    struct TStartFailure {
        bool refused = false;
        std::string message;
    };
    void ConnectionSettled(const std::optional<TStartFailure>& failure);
    void ReportLowered();
    // Once no connection works, the orders waiting go back to the owner.
    void HandBackWhenIdle();
    void ArticleDone(const TFetchOrder& order, const std::function<void()>& followUp);
    void ArticleGone(const TFetchOrder& order, const std::string& reason);
    void RangeRead(uint64_t ticket, TAnswer answer);
    // A failure of one article: --outstanding, then End.
    void Fail(std::exception_ptr failure);
    // The first failure ends the run; later ones are its consequences.
    void End(std::exception_ptr failure);
};

} // namespace lumigrab
