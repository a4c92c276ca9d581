#include "news/postharvest.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "base/filenames.h"
#include "news/harvest.h"
#include "news/harvestindex.h"
#include "news/msnntp.h"
#include "news/postjoin.h"

namespace lumigrab {

namespace {

// Hands the client's fetched article text to the joiner for as long as it
// lives. A joiner failure is kept and raised once the client is done, so
// that it never leaves the client halfway through a reply.
class TPartReader {
public:
    TPartReader(TmsNNTP& client, TPostJoiner& joiner, int part)
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
    ~TPartReader() { client_.TakeArticleText = nullptr; }
    TPartReader(const TPartReader&) = delete;
    TPartReader& operator=(const TPartReader&) = delete;

    void RaiseFailure() const
    {
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    TmsNNTP& client_;
    std::exception_ptr failure_;
};

bool NamesNoPicture(const TPost& post)
{
    // Only a quoted name is a file name; an unquoted subject says nothing.
    return post.subject.find('"') != std::string::npos && !HasPictureExtension(post.name);
}

} // namespace

TPostHarvest::TPostHarvest(THarvest& harvest, TmsNNTP& client)
    : harvest_(harvest)
    , client_(client)
{
    RemovePartialFiles();
}

namespace {

std::optional<TPartMarker> ReadPostPart(const std::string& subject)
{
    std::optional<TPartMarker> marker = ReadPartMarker(subject);
    if (!marker || marker->total < 2 || marker->part < 1 || marker->part > marker->total)
        return std::nullopt;
    return marker;
}

} // namespace

std::optional<std::vector<int32_t>> TPostHarvest::ForeseeFetches(const TmsNgInfoItem& header)
{
    const std::string subject = header.GetFieldValue("Subject");
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
    std::vector<int32_t> numbers = posts_.Foresee(*marker, header.GetFieldValue("From"), header.Number);
    const bool namesNoPicture
        = subject.find('"') != std::string::npos && !HasPictureExtension(PostDisplayName(marker->subject));
    if (numbers.empty() || namesNoPicture || FirstPartTaken(numbers.front()))
        return std::vector<int32_t>();
    return numbers;
}

// Only a guess for sending ahead: an index that cannot be read is reported
// when the post is taken.
bool TPostHarvest::FirstPartTaken(int32_t number)
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
    const std::string subject = header.GetFieldValue("Subject");
    const std::optional<TPartMarker> marker = ReadPostPart(subject);
    if (!marker)
        return false;
    foreseenFirstPartIds_.erase(
        foreseenFirstPartIds_.begin(), foreseenFirstPartIds_.upper_bound(header.Number));
    if (marker->part == 1) {
        const std::string id = header.GetFieldValue("Message-ID");
        if (IsUsableMessageId(id))
            firstPartIds_[header.Number] = id;
    }
    const TPostCollector::TAdded added = posts_.Add(*marker, header.GetFieldValue("From"), header.Number);
    if (added.dropped)
        Forget(*added.dropped);
    if (added.dropped && harvest_.OnArticleSkipped)
        harvest_.OnArticleSkipped(added.dropped->subject,
            "Too many unfinished multi-part posts: " + added.dropped->name + " is no longer followed");
    if (added.what == TPostCollector::TAdded::TWhat::Refused && harvest_.OnArticleSkipped)
        harvest_.OnArticleSkipped(subject,
            "A post of " + std::to_string(marker->total) + " parts, more than the "
                + std::to_string(MaxPostParts) + " joined");
    if (added.what == TPostCollector::TAdded::TWhat::Complete) {
        const int32_t number = header.Number;
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
        post.state = TPost::TState::Joined;
        Forget(post);
        return;
    }
    if (harvest_.OnSubject)
        harvest_.OnSubject(subject);
    if (NamesNoPicture(post)) {
        post.state = TPost::TState::Joined;
        Record(post, {});
        return;
    }
    JoinParts(post, subject);
    if (post.state != TPost::TState::Waiting)
        Forget(post);
    // The hidden folder goes once empty; remove() leaves it otherwise.
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
                post.state = TPost::TState::Joined;
                Record(post, {});
                return;
            }
        }
        joiner.Finish();
        post.state = TPost::TState::Joined;
        Record(post, { Keep(joiner) });
    } catch (const EDiskFullError&) {
        // No later picture would fit either; the post is not recorded, so
        // the next walk joins it again.
        post.state = TPost::TState::Refused;
        throw;
    } catch (const EPostJoinError& error) {
        post.state = TPost::TState::Refused;
        if (harvest_.OnArticleSkipped)
            harvest_.OnArticleSkipped(subject, error.Message());
    } catch (const EStreamError& error) {
        post.state = TPost::TState::Refused;
        if (!FileFailed(subject, error))
            throw;
    } catch (const EInOutError& error) {
        post.state = TPost::TState::Refused;
        if (!FileFailed(subject, error))
            throw;
    }
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
    const std::vector<int32_t>& numbers = post.articles[size_t(part - 1)];
    while (!numbers.empty()) {
        const TPartReader reader(client_, joiner, part);
        try {
            client_.RetrieveArticleByNumber(numbers.front());
        } catch (const ENoSuchArticle&) {
            if (!client_.Connected())
                throw;
            posts_.ForgetArticle(post, part);
            continue;
        }
        reader.RaiseFailure();
        return true;
    }
    return false;
}

std::string TPostHarvest::Keep(TPostJoiner& joiner)
{
    const std::string path = MoveNewFile(joiner.PartialPath(), harvest_.Folder(), joiner.FileName());
    joiner.Release();
    if (harvest_.OnPictureKept)
        harvest_.OnPictureKept(path);
    if (!joiner.Damage().empty() && harvest_.OnPictureDamaged)
        harvest_.OnPictureDamaged(path, joiner.Damage());
    return std::filesystem::path(path).filename().string();
}

std::vector<std::string> TPostHarvest::FirstPartIds(const TPost& post) const
{
    std::vector<std::string> ids;
    for (const int32_t number : post.articles.front()) {
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
    if (!ids.empty())
        harvest_.Index().Record(ids.front(), fileNames);
}

void TPostHarvest::Forget(const TPost& post)
{
    for (const int32_t number : post.articles.front())
        firstPartIds_.erase(number);
}

void TPostHarvest::ReportIncomplete()
{
    for (TPost* post : posts_.Waiting())
        ReportIncomplete(*post);
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
