#include "news/fetchpool.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>

#include "base/sysutils.h"

namespace lumigrab {

namespace {

// An article that broke this many connections is not tried again.
constexpr int MaxAttempts = 3;

// "log.txt" -> "log-2.txt"; the walk's client writes "log.txt" itself.
std::string NumberedLogName(const std::string& path, int number)
{
    if (path.empty())
        return path;
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string suffix = std::string("-").append(std::to_string(number));
    if (!hasExtension)
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

std::string MessageOf(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& error) {
        return error.Message();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown error";
    }
}

std::string Connections(size_t count)
{
    return std::to_string(count) + (count == 1 ? " connection" : " connections");
}

// "Connection refused; Connection timed out": each message once, in the
// order they came.
std::string DistinctMessages(const std::vector<std::string>& messages)
{
    std::vector<std::string> distinct;
    for (const std::string& message : messages) {
        if (std::find(distinct.begin(), distinct.end(), message) == distinct.end())
            distinct.push_back(message);
    }
    std::string text;
    for (const std::string& message : distinct)
        text += (text.empty() ? "" : "; ") + message;
    return text;
}

} // namespace

TFetchSettings TFetchSettings::From(const TmsNNTP& client)
{
    TFetchSettings settings;
    settings.server = client.Settings;
    settings.timeOut = client.TimeOut;
    settings.maxArticleSize = client.MaxArticleSize;
    settings.newsGroup = client.NewsGroup();
    settings.walkHeaderIds = client.WalkHeaderIds();
    return settings;
}

// An overview range handed over for the walk.
struct TRangeOrder {
    uint64_t ticket = 0;
    TArticleNumber first = 0;
    TArticleNumber last = 0;
    bool xover = false;
    // Connections that broke while reading it.
    int attempts = 0;
};

// What the connections share: the orders waiting, and whether to go on.
struct TFetchPool::TShared {
    explicit TShared(TFetchSettings settings)
        : settings(std::move(settings))
    {
    }

    const TFetchSettings settings;
    std::atomic<bool> stopping = false;
    // Stopped by Stop or a failure rather than by the pool's end.
    std::atomic<bool> canceled = false;
    // Connections that connected and have not given up.
    std::atomic<int> working = 0;
    // Every article handed over in this run: a reply naming one of them
    // for another is out of step also once the walk has moved far on.
    const std::shared_ptr<THeaderIds> orderIds = std::make_shared<THeaderIds>();

    std::optional<TFetchOrder> Take()
    {
        const std::lock_guard lock(mutex_);
        if (queue_.empty())
            return std::nullopt;
        TFetchOrder order = std::move(queue_.front());
        queue_.pop_front();
        return order;
    }

    void Add(TFetchOrder order)
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(order));
    }

    // An order whose connection broke goes first: it was handed over first.
    void Return(TFetchOrder order)
    {
        const std::lock_guard lock(mutex_);
        queue_.push_front(std::move(order));
    }

    std::deque<TFetchOrder> TakeAll()
    {
        const std::lock_guard lock(mutex_);
        return std::exchange(queue_, {});
    }

    std::optional<TRangeOrder> TakeRange()
    {
        const std::lock_guard lock(mutex_);
        if (ranges_.empty())
            return std::nullopt;
        TRangeOrder range = ranges_.front();
        ranges_.pop_front();
        return range;
    }

    void AddRange(const TRangeOrder& range)
    {
        const std::lock_guard lock(mutex_);
        ranges_.push_back(range);
    }

    void ReturnRange(const TRangeOrder& range)
    {
        const std::lock_guard lock(mutex_);
        ranges_.push_front(range);
    }

    // False when a connection has started on it.
    bool TakeBackRange(uint64_t ticket)
    {
        const std::lock_guard lock(mutex_);
        const auto found = std::find_if(
            ranges_.begin(), ranges_.end(), [ticket](const TRangeOrder& range) { return range.ticket == ticket; });
        if (found == ranges_.end())
            return false;
        ranges_.erase(found);
        return true;
    }

    std::deque<TRangeOrder> TakeAllRanges()
    {
        const std::lock_guard lock(mutex_);
        return std::exchange(ranges_, {});
    }

private:
    std::mutex mutex_;
    std::deque<TFetchOrder> queue_;
    std::deque<TRangeOrder> ranges_;
};

// One pooled connection: a TmsNNTP living on a thread of its own.
class TFetchPool::TWorker {
public:
    TWorker(TFetchPool& pool, int number)
        : pool_(pool)
        , shared_(pool.shared_)
        , number_(number)
        , thread_([this] { Main(); })
    {
    }

    ~TWorker() { Join(); }

    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }

    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;

    // Ends the wait for work, or the wait of the command in progress.
    void WakeUp()
    {
        InThread([] {});
    }

    // From the owner's thread, right away: a client that has not come up
    // yet sees the pool's flags before it connects.
    void Cancel()
    {
        const std::lock_guard lock(mutex_);
        if (client_)
            client_->CancelForGood();
    }

private:
    TFetchPool& pool_;
    std::shared_ptr<TShared> shared_;
    const int number_;
    // Guards context_ and client_, which live on the worker's thread.
    std::mutex mutex_;
    QObject* context_ = nullptr;
    TmsNNTP* client_ = nullptr;
    // Last: the thread starts once everything else is there.
    std::thread thread_;

    // A plain thread with an event loop of its own rather than a QThread:
    // its work does not run inside a Qt call, which keeps it in view of the
    // thread sanitizer.
    void Main()
    {
        // Gives the thread its event dispatcher for the client's waits.
        QEventLoop loop;
        QObject context;
        {
            const std::lock_guard lock(mutex_);
            context_ = &context;
        }
        Run();
        const std::lock_guard lock(mutex_);
        context_ = nullptr;
    }

    // Queues call to the worker's thread; dropped before its loop is up or
    // once it has ended (the flags in TShared cover that time).
    void InThread(std::function<void()> call)
    {
        const std::lock_guard lock(mutex_);
        if (context_)
            QMetaObject::invokeMethod(context_, std::move(call), Qt::QueuedConnection);
    }

    void Run()
    {
        TmsArticle article;
        TmsNNTP client;
        Configure(client, article);
        SetClient(&client);
        // A Stop that came before the client was there could not reach
        // it: its flag, set first, tells instead, and nothing connects.
        if (!shared_->stopping && Open(client)) {
            ++shared_->working;
            pool_.Post([pool = &pool_] { pool->ConnectionSettled(std::nullopt); });
            Serve(client, article);
        }
        SetClient(nullptr);
        End(client);
        if (number_ <= shared_->settings.loggedBefore)
            AppendLog(client);
    }

    void SetClient(TmsNNTP* client)
    {
        const std::lock_guard lock(mutex_);
        client_ = client;
    }

    void End(TmsNNTP& client) const
    {
        // After Stop (or a failure) the connection just ends, also one
        // that came up after its Cancel was sent: no farewell to wait for.
        if (shared_->canceled) {
            client.Cancel();
            return;
        }
        try {
            client.Disconnect();
        } catch (const Exception&) {
            // A farewell nobody waits for.
        }
    }

    // Instead of the client replacing the file as it goes.
    static void AppendLog(TmsNNTP& client)
    {
        if (client.LogFileName.empty())
            return;
        std::ofstream(client.LogFileName, std::ios::app | std::ios::binary) << client.Log.Text();
        client.LogFileName.clear();
    }

    void Configure(TmsNNTP& client, TmsArticle& article) const
    {
        const TFetchSettings& settings = shared_->settings;
        client.SetWinsockLoaded(true);
        client.Settings = settings.server;
        client.TimeOut = settings.timeOut;
        client.MaxArticleSize = settings.maxArticleSize;
        client.LogFileName = NumberedLogName(settings.server.LogFileName, number_);
        std::vector<std::shared_ptr<const THeaderIds>> headers { shared_->orderIds };
        if (settings.walkHeaderIds)
            headers.push_back(settings.walkHeaderIds);
        client.TellRepliesApartBy(std::move(headers));
        // One ARTICLE per article, nothing sent ahead.
        client.UseOverview = true;
        client.Compress = settings.readsOverview && settings.server.CompressHeaders;
        client.SetArticle(&article);
    }

    // Connects and selects the group; false (reported) when refused or
    // failed.
    bool Open(TmsNNTP& client)
    {
        try {
            SelectGroup(client);
            return true;
        } catch (const Exception& error) {
            if (!shared_->stopping)
                pool_.Post([pool = &pool_, failure = StartFailure(client, error)] {
                    pool->ConnectionSettled(failure);
                });
            return false;
        }
    }

    // The server's own 4xx or 5xx answer before the group was selected (to
    // the greeting, the login or GROUP) refuses this connection: the walk's
    // client got past each with the same account. Anything else kept the
    // connection from being made or used: the host refused it, it timed
    // out, TLS failed, the server hung up.
    static TStartFailure StartFailure(const TmsNNTP& client, const Exception& error)
    {
        const std::string& reply = client.LastReply;
        const bool refused = !reply.empty() && (reply[0] == '4' || reply[0] == '5');
        return { refused, error.Message() };
    }

    // A fill server's connection selects none: it fetches by message-id.
    void SelectGroup(TmsNNTP& client) const
    {
        if (shared_->settings.fillServer)
            client.Connect();
        else
            client.SetNewsGroup(shared_->settings.newsGroup);
    }

    bool Reconnect(TmsNNTP& client)
    {
        try {
            client.ForgetNewsGroup();
            SelectGroup(client);
            return true;
        } catch (const Exception&) {
            return false;
        }
    }

    void Serve(TmsNNTP& client, TmsArticle& article)
    {
        while (!shared_->stopping) {
            if (std::optional<TRangeOrder> range = shared_->TakeRange()) {
                if (!ReadRange(client, *range))
                    break;
                continue;
            }
            std::optional<TFetchOrder> order = shared_->Take();
            if (!order) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                continue;
            }
            if (!Fetch(client, article, std::move(*order)))
                break;
        }
    }

    // False when the connection is given up.
    bool Fetch(TmsNNTP& client, TmsArticle& article, TFetchOrder order)
    {
        std::function<void()> textFollowUp;
        try {
            const TTextScope text(client, order.takeText, textFollowUp);
            if (order.number == NoArticle)
                client.ReadArticle(order.messageId);
            else
                client.RetrieveArticleByNumber(order.number, order.messageId);
        } catch (const ECanceledError&) {
            return !shared_->stopping && Broken(client, std::move(order), std::current_exception());
        } catch (const ENoSuchArticle& error) {
            if (!client.Connected())
                return Broken(client, std::move(order), std::current_exception());
            pool_.Post([pool = &pool_, order = std::move(order), reason = error.Message()]() mutable {
                pool->ArticleGone(order, "Gone from the server (" + reason + ")");
            });
            return true;
        } catch (const Exception& error) {
            if (!client.Connected())
                return Broken(client, std::move(order), std::current_exception());
            if (shared_->settings.fillServer) {
                pool_.Post([pool = &pool_, order = std::move(order), reason = error.Message()]() mutable {
                    pool->ArticleGone(order, "Refused (" + reason + ")");
                });
                return true;
            }
            pool_.Post([pool = &pool_, failure = std::current_exception()] { pool->Fail(failure); });
            return true;
        }
        if (order.takeText)
            Done(std::move(order), std::move(textFollowUp));
        else
            Keep(article, std::move(order));
        return true;
    }

    // False when the connection is given up.
    bool ReadRange(TmsNNTP& client, TRangeOrder range)
    {
        try {
            TAnswer answer = client.ReadOverviewRange(range.first, range.last, range.xover);
            pool_.Post([pool = &pool_, ticket = range.ticket, answer = std::move(answer)]() mutable {
                pool->RangeRead(ticket, std::move(answer));
            });
            return true;
        } catch (const ECanceledError&) {
            return !shared_->stopping && RangeBroken(client, range, std::current_exception());
        } catch (const Exception&) {
            if (!client.Connected())
                return RangeBroken(client, range, std::current_exception());
            pool_.Post([pool = &pool_, failure = std::current_exception()] { pool->End(failure); });
            return true;
        }
    }

    // As Broken, for a range: a range that broke MaxAttempts connections
    // (a block past the bounds, say) ends the run with its error.
    bool RangeBroken(TmsNNTP& client, TRangeOrder range, std::exception_ptr failure)
    {
        if (++range.attempts >= MaxAttempts) {
            pool_.Post([pool = &pool_, failure] { pool->End(failure); });
        } else {
            shared_->ReturnRange(range);
            if (!shared_->stopping)
                pool_.WakeAll();
        }
        return GoOnAfterBreak(client);
    }

    // Hands the fetched text to the order's handler for the fetch's time.
    class TTextScope {
    public:
        TTextScope(TmsNNTP& client, const TTakeText& take, std::function<void()>& followUp)
            : client_(client)
        {
            if (take)
                client_.TakeArticleText
                    = [&take, &followUp](std::string_view text) { followUp = take(text); };
        }
        ~TTextScope() { client_.TakeArticleText = nullptr; }
        TTextScope(const TTextScope&) = delete;
        TTextScope& operator=(const TTextScope&) = delete;

    private:
        TmsNNTP& client_;
    };

    void Done(TFetchOrder order, std::function<void()> followUp)
    {
        order.keep = nullptr;
        order.takeText = nullptr;
        pool_.Post([pool = &pool_, order = std::move(order), followUp = std::move(followUp)] {
            pool->ArticleDone(order, followUp);
        });
    }

    void Keep(const TmsArticle& article, TFetchOrder order)
    {
        std::function<void()> followUp;
        try {
            if (order.keep)
                followUp = order.keep(article);
        } catch (...) {
            pool_.Post([pool = &pool_, failure = std::current_exception()] { pool->Fail(failure); });
            return;
        }
        Done(std::move(order), std::move(followUp));
    }

    // The connection broke in the middle of the article: another
    // connection, or this one once it is back, fetches it. False when this
    // one cannot come back.
    bool Broken(TmsNNTP& client, TFetchOrder order, std::exception_ptr failure)
    {
        if (++order.attempts >= MaxAttempts) {
            pool_.Post([pool = &pool_, failure] { pool->Fail(failure); });
        } else {
            shared_->Return(std::move(order));
            if (!shared_->stopping)
                pool_.WakeAll();
        }
        return GoOnAfterBreak(client);
    }

    // False when the connection cannot come back.
    bool GoOnAfterBreak(TmsNNTP& client)
    {
        if (!shared_->stopping && Reconnect(client))
            return true;
        if (--shared_->working == 0)
            pool_.Post([pool = &pool_] { pool->HandBackWhenIdle(); });
        return false;
    }
};

TFetchPool::TFetchPool(TFetchSettings settings, int size)
    : shared_(std::make_shared<TShared>(std::move(settings)))
    , size_(std::clamp(size, 1, MaxConnections))
    , owner_(std::make_unique<QObject>())
{
}

void TFetchPool::StartConnections()
{
    // The walk's client is connection 1.
    for (int i = 0; i < size_; ++i)
        workers_.push_back(std::make_unique<TWorker>(*this, i + 2));
}

TFetchPool::~TFetchPool()
{
    // After Stop the connections are cancelled; otherwise each says QUIT.
    shared_->stopping = true;
    WakeAll();
    // Every thread ends before any worker goes: a breaking connection
    // wakes the others.
    for (auto& worker : workers_)
        worker->Join();
    workers_.clear();
    // Results still queued for the owner come now: an article kept as Stop
    // came has its files on disk.
    Deliver();
    owner_.reset();
}

int TFetchPool::Working() const
{
    return shared_->working;
}

bool TFetchPool::Accepting() const
{
    if (stopped_ || failure_)
        return false;
    return settled_ < Size() || shared_->working > 0;
}

bool TFetchPool::Submit(TFetchOrder order)
{
    if (!Accepting())
        return false;
    const bool byNumber = order.number != NoArticle;
    if (!order.takeText && byNumber && !submitted_.insert(order.number).second)
        return true;
    ++outstanding_;
    if (byNumber)
        shared_->orderIds->Add(order.number, order.messageId);
    shared_->Add(std::move(order));
    if (!Started())
        StartConnections();
    WakeAll();
    return true;
}

std::vector<TFetchOrder> TFetchPool::TakeReturned()
{
    return std::exchange(returned_, {});
}

std::optional<TFetchOrder> TFetchPool::TakeWaiting()
{
    if (stopped_ || failure_)
        return std::nullopt;
    std::optional<TFetchOrder> order = shared_->Take();
    if (order)
        --outstanding_;
    return order;
}

int TFetchPool::Outstanding() const
{
    return outstanding_;
}

void TFetchPool::Drain()
{
    for (;;) {
        Deliver();
        if (outstanding_ == 0 || stopped_ || failure_)
            break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    RaiseIfEnded();
}

void TFetchPool::RaiseIfEnded() const
{
    if (failure_)
        std::rethrow_exception(failure_);
    if (stopped_)
        throw ECanceledError();
}

void TFetchPool::Stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    CancelAll();
}

void TFetchPool::CancelAll()
{
    shared_->canceled = true;
    shared_->stopping = true;
    shared_->TakeAll();
    shared_->TakeAllRanges();
    for (auto& worker : workers_)
        worker->Cancel();
}

bool TFetchPool::Stopped() const
{
    return stopped_;
}

// Results travel through a queue of the pool's own, under its lock; the
// queued call only tells the owner's loop to look.
void TFetchPool::Post(std::function<void()> call)
{
    {
        const std::lock_guard lock(inboxMutex_);
        inbox_.push_back(std::move(call));
    }
    QMetaObject::invokeMethod(
        owner_.get(), [this] { Deliver(); }, Qt::QueuedConnection);
}

void TFetchPool::Deliver()
{
    for (;;) {
        std::function<void()> call;
        {
            const std::lock_guard lock(inboxMutex_);
            if (inbox_.empty())
                return;
            call = std::move(inbox_.front());
            inbox_.pop_front();
        }
        // Nothing may escape into the owner's event loop.
        try {
            call();
        } catch (...) {
            try {
                End(std::current_exception());
            } catch (...) {
                // The run has ended already; nothing more to tell.
            }
        }
    }
}

void TFetchPool::WakeAll()
{
    for (auto& worker : workers_)
        worker->WakeUp();
}

void TFetchPool::ConnectionSettled(const std::optional<TStartFailure>& failure)
{
    ++settled_;
    if (failure && failure->refused)
        ++refused_;
    else if (failure)
        failures_.push_back(failure->message);
    if (settled_ != Size())
        return;
    ReportLowered();
    // Connections that broke before the last one settled may have left
    // none working.
    HandBackWhenIdle();
}

// A connection that cannot be made lowers the pool like a refused one
// rather than ending the run: the walk's client reached the server, and
// fetches whatever no pooled connection can.
void TFetchPool::ReportLowered()
{
    if ((refused_ == 0 && failures_.empty()) || !OnPoolLowered)
        return;
    std::string report;
    if (refused_ > 0)
        report = Connections(size_t(refused_)) + " refused";
    if (!failures_.empty())
        report += (report.empty() ? "" : ", ") + Connections(failures_.size()) + " failed ("
            + DistinctMessages(failures_) + ")";
    const int fetching = shared_->working > 0 ? int(shared_->working) : 1;
    OnPoolLowered(report + ": fetching with " + std::to_string(fetching));
}

void TFetchPool::HandBackWhenIdle()
{
    if (shared_->working > 0 || settled_ < Size() || stopped_)
        return;
    for (TFetchOrder& order : shared_->TakeAll()) {
        --outstanding_;
        returned_.push_back(std::move(order));
    }
    for (const TRangeOrder& range : shared_->TakeAllRanges()) {
        if (rangesOwed_.erase(range.ticket))
            rangesReturned_.insert(range.ticket);
    }
}

int TFetchPool::RangeReaders() const
{
    if (stopped_ || failure_)
        return 0;
    if (settled_ < Size())
        return Size() - refused_ - int(failures_.size());
    return shared_->working;
}

void TFetchPool::ReadRange(uint64_t ticket, TArticleNumber first, TArticleNumber last, bool xover)
{
    rangesOwed_.insert(ticket);
    shared_->AddRange({ ticket, first, last, xover, 0 });
    if (!Started())
        StartConnections();
    WakeAll();
}

std::optional<TAnswer> TFetchPool::TakeRange(uint64_t ticket, bool takeBack)
{
    if (takeBack && shared_->TakeBackRange(ticket)) {
        rangesOwed_.erase(ticket);
        return std::nullopt;
    }
    for (;;) {
        Deliver();
        if (const auto read = rangesRead_.find(ticket); read != rangesRead_.end()) {
            TAnswer answer = std::move(read->second);
            rangesRead_.erase(read);
            return answer;
        }
        if (rangesReturned_.erase(ticket) || !rangesOwed_.contains(ticket))
            return std::nullopt;
        RaiseIfEnded();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void TFetchPool::ForgetRanges()
{
    shared_->TakeAllRanges();
    rangesOwed_.clear();
    rangesRead_.clear();
    rangesReturned_.clear();
}

void TFetchPool::RangeRead(uint64_t ticket, TAnswer answer)
{
    if (rangesOwed_.erase(ticket))
        rangesRead_.emplace(ticket, std::move(answer));
}

void TFetchPool::ArticleDone(const TFetchOrder& order, const std::function<void()>& followUp)
{
    --outstanding_;
    // Its pictures are on disk whatever ended the run: they are reported
    // and recorded.
    if (followUp)
        followUp();
    if (stopped_ || failure_)
        return;
    if (OnArticleDone)
        OnArticleDone(order);
}

void TFetchPool::ArticleGone(const TFetchOrder& order, const std::string& reason)
{
    --outstanding_;
    if (stopped_ || failure_)
        return;
    if (order.gone)
        order.gone(reason);
    else if (OnArticleSkipped)
        OnArticleSkipped(order.subject, reason);
    if (OnArticleDone)
        OnArticleDone(order);
}

void TFetchPool::Fail(std::exception_ptr failure)
{
    --outstanding_;
    End(failure);
}

void TFetchPool::End(std::exception_ptr failure)
{
    if (stopped_ || failure_)
        return;
    failure_ = failure;
    CancelAll();
    if (OnError)
        OnError(MessageOf(failure));
}

} // namespace lumigrab
