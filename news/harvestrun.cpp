#include "harvestrun.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "news/fetchpool.h"
#include "news/fillservers.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/walkpositions.h"
#include "transport/ktaddress.h"

namespace lumigrab {

namespace {

// How much of a walk a crash may cost: its headers come again, and the
// folder index keeps their articles from coming twice.
constexpr std::chrono::seconds KeepPositionEvery { 1 };
// The parts of a post still being posted come in over many articles; a
// later run walks again from a waiting post's first part (which it has
// not seen) when that lies no further back than this, and gives up older
// ones, as a post that never completes must not hold every run there.
constexpr TArticleNumber HoldBackForPosts = 50000;
// A walk facing more headers than the walk's own connection reads in this
// many overview ranges is shared with the pool's connections, which are
// then compressed too; a shorter one leaves them to the articles, as
// compressing them costs the server more than it saves.
constexpr uint64_t SplitWalkRanges = 10;
constexpr const char* NntpPort = "119";
constexpr const char* NntpsPort = "563";

} // namespace

THarvestRun::THarvestRun(TmsNNTP& client, THarvest* harvest)
    : client_(client)
    , harvest_(harvest)
{
    client_.OnNextHeaderRetrieved = [this](TObject*, int index) { HeaderWalked(index); };
    client_.OnLastHeaderRetrieved = [this](TObject*) { LastHeader(); };
}

THarvestRun::~THarvestRun()
{
    client_.OnNextHeaderRetrieved = nullptr;
    client_.OnLastHeaderRetrieved = nullptr;
    EndPool();
}

void THarvestRun::SetHarvest(THarvest* harvest)
{
    harvest_ = harvest;
    positions_.reset();
}

void THarvestRun::HeaderWalked(int index)
{
    const TmsNgInfoItem& header = client_.HeaderList.Entries(index);
    progress_.Walked();
    const int64_t bytes = ExpectedArticleBytes(header);
    if (OnHeaderWalked)
        OnHeaderWalked(index, header, bytes);
    if (!harvest_)
        return;
    KeepPositionNowAndThen();
    const bool toPool = pool_ && pool_->Accepting();
    if (toPool && IsMultiPartSubject(WholeSubject(header)))
        partBytes_[header.Number] = bytes;
    if (harvest_->HarvestHeader(header) && toPool)
        pooledArticles_[header.Number] = { bytes, lastWalked_ };
    lastWalked_ = header.Number;
}

void THarvestRun::LastHeader()
{
    // The group's end is told once the pool's articles are in too.
    if (harvest_)
        harvest_->FinishPool();
    if (OnLastHeader)
        OnLastHeader();
    // No missing part can follow at the group's end.
    if (harvest_)
        harvest_->ReportIncompletePosts();
}

void THarvestRun::Go(std::string_view group, const THarvestRunSettings& settings)
{
    try {
        client_.SetNewsGroup(group);
        ResumeFromKeptPosition();
        lastWalked_ = client_.LastHeaderNumber();
        // A walk resumed from a kept position is no first walk.
        progress_ = TWalkProgress(HeadersAhead(client_.ArticleCount(), client_.FirstArticle(),
                                      client_.LastArticle(), client_.StartBeforeEnd, lastWalked_,
                                      settings.HeaderBatch),
            !lastWalked_, TWalkProgress::TClock::now());
        StartPool();
        lastKept_ = std::chrono::steady_clock::now();
        client_.RetrieveHeaders(settings.HeaderBatch, true);
        // A batch that ends before the group does leaves articles on their
        // way.
        if (harvest_)
            harvest_->FinishPool();
    } catch (...) {
        EndPool();
        WalkAgainAfterUnfinished();
        // The error that ended the Go is the one to tell.
        try {
            KeepPosition(client_.LastHeaderNumber());
        } catch (...) {
        }
        throw;
    }
    EndPool(settings.PoolQuits);
    KeepPosition(client_.LastHeaderNumber());
}

void THarvestRun::Stop()
{
    if (pool_)
        pool_->Stop();
    if (harvest_ && harvest_->FillServers())
        harvest_->FillServers()->Cancel();
    client_.Cancel();
}

// Started once the group is selected: the pooled connections select it too,
// and reach the server as the client does, its trusted certificate included.
void THarvestRun::StartPool()
{
    const int further = client_.Settings.Connections - 1;
    if (further < 1 || !harvest_)
        return;
    TFetchSettings settings = TFetchSettings::From(client_);
    settings.loggedBefore = pooledLogs_;
    const uint64_t rangeSize = uint64_t(std::max(client_.OverviewRangeSize, 1));
    settings.readsOverview = client_.UseOverview && progress_.Ahead() > SplitWalkRanges * rangeSize;
    const bool splitWalk = settings.readsOverview;
    pool_ = std::make_unique<TFetchPool>(std::move(settings), further);
    if (splitWalk)
        client_.OverviewHelpers = pool_.get();
    pooledArticles_.clear();
    partBytes_.clear();
    lastWalked_ = client_.LastHeaderNumber();
    pool_->OnPoolLowered = [this](const std::string& report) {
        if (OnPoolLowered)
            OnPoolLowered(report);
    };
    pool_->OnError = [this](const std::string& message) {
        if (OnPoolError)
            OnPoolError(message);
    };
    // An article brought is no longer one to walk again for.
    pool_->OnArticleDone = [this](const TFetchOrder& order) {
        int64_t bytes = 0;
        if (const auto article = pooledArticles_.extract(order.number))
            bytes = article.mapped().bytes;
        else if (const auto part = partBytes_.extract(order.number))
            bytes = part.mapped();
        else
            return;
        if (OnArticleArrived)
            OnArticleArrived(bytes);
    };
    harvest_->SetPool(pool_.get());
}

// Cancelled unless asked to QUIT: one in the middle of an article (after
// Stop), still waiting for its greeting or for the answer to QUIT would hold
// the caller until it gives up.
void THarvestRun::EndPool(bool quit)
{
    if (!pool_)
        return;
    client_.OverviewHelpers = nullptr;
    if (!quit)
        pool_->Stop();
    if (harvest_)
        harvest_->SetPool(nullptr);
    if (pool_->Started())
        pooledLogs_ = std::max(pooledLogs_, pool_->Size() + 1);
    pool_.reset();
}

// The earliest article the pool did not bring decides where the next Go
// goes on.
void THarvestRun::WalkAgainAfterUnfinished()
{
    const auto earliest = std::min_element(pooledArticles_.begin(), pooledArticles_.end(),
        [](const auto& one, const auto& other) { return one.first < other.first; });
    if (earliest != pooledArticles_.end())
        client_.WalkAgainAfter(earliest->second.after);
}

// Positions are told apart by host and port: the same group on another
// server is numbered anew.
std::string THarvestRun::ServerKey() const
{
    const TServerName name = SplitServerName(client_.Settings.Server);
    return name.host + ':' + (name.port.empty() ? (client_.Settings.UseTLS ? NntpsPort : NntpPort) : name.port);
}

void THarvestRun::ResumeFromKeptPosition()
{
    if (!harvest_ || client_.LastHeaderNumber())
        return;
    if (!positions_)
        positions_ = std::make_unique<TWalkPositions>(harvest_->Folder());
    const std::optional<uint64_t> kept = positions_->Find(ServerKey(), client_.NewsGroup());
    if (kept)
        client_.ResumeAfter(*kept);
}

// While the pool still owes articles, the next run goes on after the header
// walked before the earliest of them.
std::optional<TArticleNumber> THarvestRun::SafePosition() const
{
    // None (nothing walked yet) comes before every number.
    std::optional<TArticleNumber> safe = lastWalked_;
    for (const auto& [number, article] : pooledArticles_)
        safe = std::min(safe, article.after);
    return safe;
}

void THarvestRun::KeepPositionNowAndThen()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastKept_ < KeepPositionEvery)
        return;
    lastKept_ = now;
    KeepPosition(pool_ ? SafePosition() : lastWalked_);
}

void THarvestRun::KeepPosition(std::optional<TArticleNumber> walked)
{
    if (!harvest_ || !walked || client_.NewsGroup().empty())
        return;
    TArticleNumber number = *walked;
    if (const std::optional<TArticleNumber> part = harvest_->EarliestWaitingPart();
        part && *part <= number && number - *part < HoldBackForPosts)
        number = *part - 1;
    if (!positions_)
        positions_ = std::make_unique<TWalkPositions>(harvest_->Folder());
    positions_->Keep(ServerKey(), client_.NewsGroup(), number);
}

} // namespace lumigrab
