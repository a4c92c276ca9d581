#include "news/postharvest.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

#include "base/filenames.h"
#include "news/fillservers.h"
#include "news/harvest.h"
#include "news/harvestindex.h"
#include "news/msnntp.h"
#include "news/postjoin.h"

namespace lumigrab {

namespace {

bool NamesNoPicture(const TPost& post)
{
    // Only a quoted name is a file name; an unquoted subject says nothing.
    return post.quoted && !HasPictureExtension(post.name);
}

} // namespace

TPostHarvest::TPostHarvest(THarvest& harvest, TmsNNTP& client)
    : harvest_(harvest)
    , client_(client)
{
    RemovePartialFiles();
}

namespace {

// What reports and the pool's orders carry of the subject while the post
// is followed and joined: the subject as GetFieldValue cuts it by default.
std::string ShownSubject(const std::string& wholeSubject)
{
    return wholeSubject.substr(0, MaxShortString);
}

// The marker and the post's key come from the whole subject (WholeSubject):
// a long one may hold other markers before its own.
std::optional<TPartMarker> ReadPostPart(const std::string& subject)
{
    std::optional<TPartMarker> marker = ReadPartMarker(subject);
    if (!marker || marker->total < 2 || marker->part < 1 || marker->part > marker->total)
        return std::nullopt;
    return marker;
}

} // namespace

std::optional<std::vector<TArticleNumber>> TPostHarvest::ForeseeFetches(const TmsNgInfoItem& header)
{
    const std::string subject = WholeSubject(header);
    const std::optional<TPartMarker> marker = ReadPostPart(subject);
    if (!marker)
        return std::nullopt;
    if (!foreseenFirstPartIds_.empty() && header.Number <= foreseenFirstPartIds_.rbegin()->first)
        foreseenFirstPartIds_.clear();
    if (marker->part == 1) {
        const std::string id = header.GetFieldValue("Message-ID");
        if (IsUsableMessageId(id))
            foreseenFirstPartIds_[header.Number] = id;
    }
    std::vector<TArticleNumber> numbers = posts_.Foresee(*marker, header.GetFieldValue("From"), header.Number);
    const bool namesNoPicture
        = subject.find('"') != std::string::npos && !HasPictureExtension(PostDisplayName(marker->subject));
    if (numbers.empty() || namesNoPicture || FirstPartTaken(numbers.front()))
        return std::vector<TArticleNumber>();
    return numbers;
}

// Only a guess for sending ahead: an index that cannot be read is reported
// when the post is taken.
bool TPostHarvest::FirstPartTaken(TArticleNumber number)
{
    const auto known = firstPartIds_.find(number);
    const auto foreseen = foreseenFirstPartIds_.find(number);
    const std::string* id = known != firstPartIds_.end() ? &known->second
        : foreseen != foreseenFirstPartIds_.end()        ? &foreseen->second
                                                         : nullptr;
    try {
        return id && harvest_.Index().Contains(*id);
    } catch (const Exception&) {
        return false;
    }
}

bool TPostHarvest::TakeHeader(const TmsNgInfoItem& header)
{
    std::string subject = WholeSubject(header);
    const std::optional<TPartMarker> marker = ReadPostPart(subject);
    if (!marker)
        return false;
    subject = ShownSubject(subject);
    foreseenFirstPartIds_.erase(
        foreseenFirstPartIds_.begin(), foreseenFirstPartIds_.upper_bound(header.Number));
    if (marker->part == 1) {
        const std::string id = header.GetFieldValue("Message-ID");
        if (IsUsableMessageId(id))
            firstPartIds_[header.Number] = id;
    }
    if (harvest_.FillServers() && partIds_.size() < MaxRememberedPartIds)
        partIds_[header.Number] = header.GetFieldValue("Message-ID");
    const TPostCollector::TAdded added
        = posts_.Add(*marker, header.GetFieldValue("From"), header.Number, ExpectedArticleBytes(header));
    if (added.dropped)
        Forget(*added.dropped);
    if (added.dropped && harvest_.OnArticleSkipped)
        harvest_.OnArticleSkipped(added.dropped->subject,
            "Too many unfinished multi-part posts: " + added.dropped->name + " is no longer followed");
    if (added.what == TPostCollector::TAdded::TWhat::Refused && harvest_.OnArticleSkipped)
        harvest_.OnArticleSkipped(subject,
            "A post of " + std::to_string(marker->total) + " parts, more than the "
                + std::to_string(MaxPostParts) + " joined");
    if (added.what == TPostCollector::TAdded::TWhat::Complete && !harvest_.Filter.TakesSize(added.post->bytes)) {
        posts_.SetState(*added.post, TPost::TState::Joined);
        harvest_.Filter.NoteLeftOut(uint64_t(added.post->total));
        Forget(*added.post);
        return true;
    }
    if (added.what == TPostCollector::TAdded::TWhat::Complete) {
        // The post as its last part's header tells it, for the index.
        abouts_[added.post->id] = { client_.NewsGroup(), added.post->subject,
            header.GetFieldValue("From"), header.GetFieldValue("Date") };
        const TArticleNumber number = header.Number;
        Join(*added.post, subject);
        // The HEAD walk goes on with NEXT from the server's current article,
        // which fetching the earlier parts moved.
        if (!client_.UseOverview && client_.Connected())
            client_.SetCurrentArticle(number);
    }
    return true;
}

void TPostHarvest::Join(TPost& post, const std::string& subject)
{
    if (TakenBefore(post)) {
        posts_.SetState(post, TPost::TState::Joined);
        Forget(post);
        return;
    }
    if (harvest_.OnSubject)
        harvest_.OnSubject(subject);
    if (NamesNoPicture(post)) {
        posts_.SetState(post, TPost::TState::Joined);
        Record(post, {});
        return;
    }
    if (TFetchPool* pool = harvest_.Pool(); pool && pool->Accepting()) {
        JoinInPool(post, subject);
        return;
    }
    JoinParts(post, subject);
    if (post.state != TPost::TState::Waiting)
        Forget(post);
    RemovePartialFolderIfEmpty();
}

void TPostHarvest::RemovePartialFolderIfEmpty()
{
    std::error_code unused;
    std::filesystem::remove(PartialFolder(), unused);
}

void TPostHarvest::JoinParts(TPost& post, const std::string& subject)
{
    try {
        std::error_code unused;
        std::filesystem::create_directory(PartialFolder(), unused);
        TPostJoiner joiner(
            JoinPath(PartialFolder(), "post-" + std::to_string(post.id) + ".part"), harvest_.MaxPostSize);
        for (int part = 1; part <= post.total; ++part) {
            if (!FetchPart(post, part, joiner)) {
                ReportIncomplete(post);
                return;
            }
            if (part == 1 && !HasPictureExtension(SafeFileName(joiner.FileName()))) {
                posts_.SetState(post, TPost::TState::Joined);
                Record(post, {});
                return;
            }
        }
        joiner.Finish();
        posts_.SetState(post, TPost::TState::Joined);
        Record(post, { Keep(joiner) });
    } catch (const Exception&) {
        JoinFailed(post, subject, std::current_exception());
    }
}

void TPostHarvest::JoinFailed(TPost& post, const std::string& subject, std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const EDiskFullError&) {
        // No later picture would fit either; the post is not recorded, so
        // the next walk joins it again.
        posts_.SetState(post, TPost::TState::Refused);
        throw;
    } catch (const EPostJoinError& error) {
        posts_.SetState(post, TPost::TState::Refused);
        if (harvest_.OnArticleSkipped)
            harvest_.OnArticleSkipped(subject, error.Message());
    } catch (const EStreamError& error) {
        posts_.SetState(post, TPost::TState::Refused);
        if (!FileFailed(subject, error))
            throw;
    } catch (const EInOutError& error) {
        posts_.SetState(post, TPost::TState::Refused);
        if (!FileFailed(subject, error))
            throw;
    }
}

void TPostHarvest::JoinInPool(TPost& post, const std::string& subject)
{
    std::error_code unused;
    std::filesystem::create_directory(PartialFolder(), unused);
    std::unique_ptr<TPostJoiner> joiner;
    try {
        joiner = std::make_unique<TPostJoiner>(
            JoinPath(PartialFolder(), "pooled-" + std::to_string(poolJoins_ + 1) + ".part"),
            harvest_.MaxPostSize);
    } catch (const Exception&) {
        JoinFailed(post, subject, std::current_exception());
        Forget(post);
        return;
    }
    posts_.SetState(post, TPost::TState::Joining);
    cutShort_.erase(post.id);
    const uint64_t serial = ++poolJoins_;
    TPoolPost& entry = poolPosts_[serial];
    entry.serial = serial;
    entry.post = &post;
    entry.subject = subject;
    entry.join = std::make_shared<TPooledJoin>(std::move(joiner), post.total);
    entry.copies = post.articles;
    entry.gone.assign(size_t(post.total), 0);
    HandOut(entry);
}

void TPostHarvest::HandOut(TPoolPost& entry)
{
    TFetchPool* pool = harvest_.Pool();
    // Enough to keep every connection busy; bounds what waits ahead of
    // its turn.
    const int window = (pool ? pool->Size() : 1) + 2;
    while (entry.missing == 0 && entry.handed < entry.post->total && entry.handed < entry.written + window)
        HandOut(entry, ++entry.handed);
}

void TPostHarvest::HandOut(TPoolPost& entry, int part)
{
    const size_t index = size_t(part - 1);
    TFetchOrder order;
    order.number = entry.copies[index][entry.gone[index]];
    order.subject = entry.subject;
    const uint64_t id = entry.serial;
    order.takeText = PartText(id, part, entry.join);
    order.gone = [this, id, part](const std::string&) { PartGone(id, part); };
    TFetchPool* pool = harvest_.Pool();
    if (pool && pool->Submit(order))
        return;
    // A pool stopped or failed ends the run; one whose connections were
    // all refused leaves the part to the walk's client.
    try {
        if (pool)
            pool->RaiseIfEnded();
    } catch (...) {
        return;
    }
    ownParts_.push_back(std::move(order));
}

// On a connection's thread: only the join is touched there.
TTakeText TPostHarvest::PartText(uint64_t id, int part, const std::shared_ptr<TPooledJoin>& join)
{
    return [this, id, part, join](std::string_view text) -> std::function<void()> {
        const TPooledJoin::TProgress progress = join->Add(part, text);
        return [this, id, progress] { PartWritten(id, progress); };
    };
}

void TPostHarvest::PartWritten(uint64_t id, const TPooledJoin::TProgress& progress)
{
    const auto found = poolPosts_.find(id);
    if (found == poolPosts_.end())
        return;
    TPoolPost& entry = found->second;
    TPost& post = *entry.post;
    if (progress.failure) {
        const std::string subject = entry.subject;
        EndPooled(id);
        JoinFailed(post, subject, progress.failure);
        Forget(post);
        return;
    }
    if (progress.noPicture) {
        posts_.SetState(post, TPost::TState::Joined);
        Record(post, {});
        EndPooled(id);
        Forget(post);
        return;
    }
    entry.written = std::max(entry.written, progress.written);
    if (progress.finished) {
        KeepPooled(entry);
        return;
    }
    ReportWhenInTurn(entry);
    if (const auto still = poolPosts_.find(id); still != poolPosts_.end())
        HandOut(still->second);
}

void TPostHarvest::KeepPooled(TPoolPost& entry)
{
    TPost& post = *entry.post;
    const uint64_t id = entry.serial;
    const std::string subject = entry.subject;
    std::exception_ptr failure;
    std::string name;
    try {
        name = entry.join->Take([this](TPostJoiner& joiner) { return Keep(joiner); });
    } catch (const Exception&) {
        failure = std::current_exception();
    }
    EndPooled(id);
    if (failure) {
        JoinFailed(post, subject, failure);
    } else {
        posts_.SetState(post, TPost::TState::Joined);
        Record(post, { name });
    }
    Forget(post);
}

void TPostHarvest::PartGone(uint64_t id, int part)
{
    const auto found = poolPosts_.find(id);
    if (found == poolPosts_.end())
        return;
    TPoolPost& entry = found->second;
    const size_t index = size_t(part - 1);
    // The copy, if any, takes the gone article's place; then the fill
    // servers.
    if (++entry.gone[index] < entry.copies[index].size()) {
        HandOut(entry, part);
        return;
    }
    TFillServers* fill = harvest_.FillServers();
    if (fill && fill->Pooled()) {
        SubmitPartFill(id, part, 0);
        return;
    }
    if (fill && !fill->Empty()) {
        pendingPartFills_.emplace_back(id, part);
        return;
    }
    PartMissing(id, part);
}

// The fill servers' pools, for each copy of the part in turn.
void TPostHarvest::SubmitPartFill(uint64_t id, int part, size_t copy)
{
    const auto found = poolPosts_.find(id);
    TFillServers* fill = harvest_.FillServers();
    if (found == poolPosts_.end() || !fill || !fill->Pooled())
        return;
    const std::vector<std::string> ids = PartIdsOf(found->second.copies[size_t(part - 1)]);
    if (copy >= ids.size()) {
        PartMissing(id, part);
        return;
    }
    TFetchOrder order;
    order.messageId = ids[copy];
    order.subject = found->second.subject;
    order.takeText = PartText(id, part, found->second.join);
    fill->Submit(std::move(order), [this, id, part, copy] { SubmitPartFill(id, part, copy + 1); });
}

void TPostHarvest::FetchPendingPartFills()
{
    while (!pendingPartFills_.empty()) {
        const auto [id, part] = pendingPartFills_.front();
        pendingPartFills_.pop_front();
        if (!FillPooledPart(id, part))
            PartMissing(id, part);
    }
}

// Asking the fill servers ran the event loop: the join may have ended.
void TPostHarvest::PartMissing(uint64_t id, int part)
{
    const auto found = poolPosts_.find(id);
    if (found == poolPosts_.end())
        return;
    TPoolPost& entry = found->second;
    entry.missing = entry.missing == 0 ? part : std::min(entry.missing, part);
    ReportWhenInTurn(entry);
}

void TPostHarvest::ReportWhenInTurn(TPoolPost& entry)
{
    if (entry.missing == 0 || entry.written + 1 < entry.missing)
        return;
    TPost& post = *entry.post;
    const std::string subject = entry.subject;
    // One connection stops at the first part it cannot get: the gone
    // articles of later parts stay listed.
    for (int part = 1; part <= entry.missing; ++part) {
        for (size_t gone = 0; gone < entry.gone[size_t(part - 1)]; ++gone)
            posts_.ForgetArticle(post, part);
    }
    // Copies listed while the join ran come after the report, as their
    // headers would have on one connection.
    std::vector<TArticleNumber>& numbers = post.articles[size_t(entry.missing - 1)];
    const std::vector<TArticleNumber> later = std::exchange(numbers, {});
    EndPooled(entry.serial);
    posts_.SetState(post, TPost::TState::Waiting);
    ReportIncomplete(post);
    numbers = later;
    if (!post.Complete())
        return;
    // Here the walk's client may be in the middle of a reply: without the
    // pool the post waits for the group's end.
    if (TFetchPool* pool = harvest_.Pool(); pool && pool->Accepting())
        Join(post, subject);
    else
        cutShort_[post.id] = subject;
}

void TPostHarvest::EndPooled(uint64_t id)
{
    const auto found = poolPosts_.find(id);
    if (found == poolPosts_.end())
        return;
    found->second.join->End();
    poolPosts_.erase(found);
    RemovePartialFolderIfEmpty();
}

void TPostHarvest::PoolEnded()
{
    while (!poolPosts_.empty()) {
        TPoolPost& entry = poolPosts_.begin()->second;
        posts_.SetState(*entry.post, TPost::TState::Waiting);
        cutShort_[entry.post->id] = entry.subject;
        EndPooled(entry.serial);
    }
    ownParts_.clear();
}

void TPostHarvest::FetchOwnParts()
{
    while (!ownParts_.empty()) {
        TFetchOrder order = std::move(ownParts_.front());
        ownParts_.pop_front();
        FetchHere(std::move(order));
    }
}

void TPostHarvest::FetchHere(TFetchOrder order)
{
    std::function<void()> followUp;
    {
        client_.TakeArticleText = [&](std::string_view text) { followUp = order.takeText(text); };
        struct TReset {
            TmsNNTP& client;
            ~TReset() { client.TakeArticleText = nullptr; }
        } reset { client_ };
        try {
            client_.RetrieveArticleByNumber(order.number);
        } catch (const ENoSuchArticle& error) {
            if (!client_.Connected())
                throw;
            if (order.gone)
                order.gone("Gone from the server (" + error.Message() + ")");
            return;
        }
    }
    if (followUp)
        followUp();
}

// Without its folder no later picture could be kept either.
bool TPostHarvest::FileFailed(const std::string& subject, const Exception& error)
{
    std::error_code unused;
    if (!std::filesystem::is_directory(harvest_.Folder(), unused))
        return false;
    if (harvest_.OnArticleSkipped)
        harvest_.OnArticleSkipped(subject, error.Message());
    return true;
}

bool TPostHarvest::FetchPart(TPost& post, int part, TPostJoiner& joiner)
{
    const std::vector<TArticleNumber>& numbers = post.articles[size_t(part - 1)];
    std::vector<std::string> goneIds;
    while (!numbers.empty()) {
        const TPartReader reader(client_, joiner, part);
        try {
            client_.RetrieveArticleByNumber(numbers.front());
        } catch (const ENoSuchArticle&) {
            if (!client_.Connected())
                throw;
            goneIds.push_back(PartIdsOf({ numbers.front() }).front());
            posts_.ForgetArticle(post, part);
            continue;
        }
        reader.RaiseFailure();
        return true;
    }
    return FetchPartFromFillServers(harvest_, goneIds, part, joiner);
}

bool FetchPartFromFillServers(THarvest& harvest, const std::vector<std::string>& ids, int part, TPostJoiner& joiner)
{
    for (const std::string& id : ids) {
        std::exception_ptr failure;
        TmsArticle article;
        const bool fetched = harvest.FetchFromFillServers(id, article, [&](std::string_view text) {
            try {
                joiner.AddPart(part, text);
            } catch (...) {
                failure = std::current_exception();
            }
        });
        if (failure)
            std::rethrow_exception(failure);
        if (fetched)
            return true;
    }
    return false;
}

bool TPostHarvest::FillPooledPart(uint64_t id, int part)
{
    const auto found = poolPosts_.find(id);
    if (found == poolPosts_.end() || !harvest_.FillServers())
        return false;
    const std::vector<std::string> ids = PartIdsOf(found->second.copies[size_t(part - 1)]);
    const std::shared_ptr<TPooledJoin> join = found->second.join;
    for (const std::string& messageId : ids) {
        std::optional<TPooledJoin::TProgress> progress;
        TmsArticle article;
        if (!harvest_.FetchFromFillServers(
                messageId, article, [&](std::string_view text) { progress = join->Add(part, text); }))
            continue;
        if (progress) {
            PartWritten(id, *progress);
            return true;
        }
    }
    return false;
}

std::vector<std::string> TPostHarvest::PartIdsOf(const std::vector<TArticleNumber>& numbers) const
{
    std::vector<std::string> ids;
    for (const TArticleNumber number : numbers) {
        const auto found = partIds_.find(number);
        ids.push_back(found == partIds_.end() ? std::string() : found->second);
    }
    return ids;
}

TPartReader::TPartReader(TmsNNTP& client, TPostJoiner& joiner, int part)
    : client_(client)
{
    client_.TakeArticleText = [this, &joiner, part](std::string_view text) {
        try {
            joiner.AddPart(part, text);
        } catch (...) {
            failure_ = std::current_exception();
        }
    };
}

TPartReader::~TPartReader()
{
    client_.TakeArticleText = nullptr;
}

void TPartReader::RaiseFailure() const
{
    if (failure_)
        std::rethrow_exception(failure_);
}

std::string TPostHarvest::Keep(TPostJoiner& joiner)
{
    return harvest_.KeepJoined(joiner);
}

std::vector<std::string> TPostHarvest::FirstPartIds(const TPost& post) const
{
    std::vector<std::string> ids;
    for (const TArticleNumber number : post.articles.front()) {
        const auto found = firstPartIds_.find(number);
        if (found != firstPartIds_.end())
            ids.push_back(found->second);
    }
    return ids;
}

bool TPostHarvest::TakenBefore(const TPost& post)
{
    for (const std::string& id : FirstPartIds(post)) {
        if (harvest_.Index().Contains(id))
            return true;
    }
    return false;
}

void TPostHarvest::Record(const TPost& post, const std::vector<std::string>& fileNames)
{
    const std::vector<std::string> ids = FirstPartIds(post);
    std::vector<std::string> names;
    // A picture kept before under another name has none here.
    std::copy_if(fileNames.begin(), fileNames.end(), std::back_inserter(names),
        [](const std::string& name) { return !name.empty(); });
    if (ids.empty())
        return;
    if (const auto about = abouts_.find(post.id); about != abouts_.end() && !names.empty())
        harvest_.Index().RecordAbout(ids.front(), about->second);
    harvest_.Index().Record(ids.front(), names);
}

void TPostHarvest::Forget(const TPost& post)
{
    abouts_.erase(post.id);
    for (const TArticleNumber number : post.articles.front())
        firstPartIds_.erase(number);
    for (const std::vector<TArticleNumber>& numbers : post.articles) {
        for (const TArticleNumber number : numbers)
            partIds_.erase(number);
    }
}

void TPostHarvest::ReportIncomplete()
{
    for (TPost* post : posts_.Waiting()) {
        if (!post->Complete()) {
            ReportIncomplete(*post);
            continue;
        }
        // A copy: the join forgets the post's entry.
        const auto cut = cutShort_.find(post->id);
        const std::string subject = cut != cutShort_.end() ? cut->second : post->subject;
        Join(*post, subject);
    }
    cutShort_.clear();
}

std::optional<TArticleNumber> TPostHarvest::EarliestWaitingArticle()
{
    std::optional<TArticleNumber> earliest;
    for (const TPost* post : posts_.Waiting())
        for (const std::vector<TArticleNumber>& part : post->articles)
            for (const TArticleNumber number : part)
                if (!earliest || number < *earliest)
                    earliest = number;
    return earliest;
}

void TPostHarvest::ReportIncomplete(TPost& post)
{
    if (post.reported)
        return;
    post.reported = true;
    if (harvest_.OnPostIncomplete)
        harvest_.OnPostIncomplete(post.IncompleteReport());
}

std::string TPostHarvest::PartialFolder() const
{
    return JoinPath(harvest_.Folder(), PartialFolderName);
}

void TPostHarvest::RemovePartialFiles()
{
    std::error_code unused;
    std::filesystem::remove_all(PartialFolder(), unused);
}

} // namespace lumigrab
