#include "news/harvest.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <unordered_set>

#include "base/filenames.h"
#include "base/sysutils.h"
#include "news/fetchpool.h"
#include "news/fillservers.h"
#include "news/overview.h"
#include "news/postharvest.h"
#include "news/postjoin.h"

namespace lumigrab {

namespace {

constexpr std::array<std::string_view, 9> MultiPartMarkers
    = { "0/", "/2", "/3", "/4", "/5", "/6", "/7", "/8", "/9" };
constexpr std::array<std::string_view, 7> PictureExtensions
    = { "JPG", "GIF", "BMP", "DIB", "RLE", "PCX", "TGA" };
// Newer types, known by their whole extension.
constexpr std::array<std::string_view, 4> DottedPictureExtensions = { ".PNG", ".WEBP", ".JPEG", ".JPE" };

// Held from looking for a file with a picture's bytes to claiming a new
// name, so that two threads saving the same picture keep one file.
std::mutex& SaveLock()
{
    static std::mutex lock;
    return lock;
}

std::string NameOf(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

// folder/name, or the file that holds the same bytes already; an empty path
// when the index has a picture of these bytes under another name (which
// may have been deleted since: what was kept once is not kept again).
std::pair<std::string, bool> SaveUnlessThere(
    const std::string& folder, const std::string& name, std::string_view bytes, THarvestIndex* index)
{
    const std::lock_guard lock(SaveLock());
    const TSha256Digest digest = index ? TSha256().Update(bytes).Finish() : TSha256Digest {};
    if (std::string same = FindSameFile(folder, name, bytes); !same.empty()) {
        if (index)
            index->RecordKept(digest, NameOf(same));
        return { std::move(same), false };
    }
    if (index && index->Kept(digest))
        return { std::string(), false };
    std::string path = SaveWholeFile(folder, name, bytes);
    if (index)
        index->RecordKept(digest, NameOf(path));
    return { std::move(path), true };
}

// Read in pieces: a joined picture may be large.
TSha256Digest DigestOfFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw EInOutError("Cannot read " + path);
    TSha256 digest;
    std::string chunk(1 << 16, '\0');
    while (file.read(chunk.data(), std::streamsize(chunk.size())) || file.gcount() > 0)
        digest.Update(std::string_view(chunk.data(), size_t(file.gcount())));
    if (file.bad())
        throw EInOutError("Cannot read " + path);
    return digest.Finish();
}

} // namespace

double ExtractNumber(std::string_view text)
{
    std::string kept;
    for (const char c : text) {
        if ((c >= '0' && c <= '9') || c == '-' || c == '.')
            kept += c;
    }
    double value = 0;
    const char* end = kept.data() + kept.size();
    const auto result = std::from_chars(kept.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end)
        return 0;
    return value;
}

bool IsMultiPartSubject(std::string_view subject)
{
    return std::any_of(MultiPartMarkers.begin(), MultiPartMarkers.end(),
        [subject](std::string_view marker) { return subject.find(marker) != std::string_view::npos; });
}

std::string WholeSubject(const TmsNgInfoItem& header)
{
    return header.GetFieldValue("Subject", MaxOverviewValue);
}

bool HasPictureExtension(std::string_view fileName)
{
    const bool dotted = std::any_of(DottedPictureExtensions.begin(), DottedPictureExtensions.end(),
        [fileName](std::string_view extension) {
            return fileName.size() > extension.size()
                && SameText(fileName.substr(fileName.size() - extension.size()), extension);
        });
    if (dotted)
        return true;
    if (fileName.size() < 3)
        return false;
    const std::string_view extension = fileName.substr(fileName.size() - 3);
    return std::any_of(PictureExtensions.begin(), PictureExtensions.end(),
        [extension](std::string_view picture) { return SameText(extension, picture); });
}

std::vector<std::string> SavePictures(const TmsCustomMessage& message, const std::string& folder,
    const PictureKeptEvent& kept, const PictureDamagedEvent& damaged, const PictureFailedEvent& failed,
    THarvestIndex* index)
{
    std::vector<std::string> paths;
    const TmsAttList& attachments = message.Attachments();
    for (int i = 0; i < attachments.Count(); ++i) {
        const TmsAttItem& item = attachments.Items(i);
        const std::string name = SafeFileName(item.FileName());
        if (name.empty() || !HasPictureExtension(name) || item.Stream.View().empty())
            continue;
        std::string path;
        try {
            auto [saved, isNew] = SaveUnlessThere(folder, name, item.Stream.View(), index);
            if (!isNew) {
                if (!saved.empty())
                    paths.push_back(std::move(saved));
                continue;
            }
            path = std::move(saved);
        } catch (const EDiskFullError&) {
            throw;
        } catch (const Exception& error) {
            if (failed && failed(name, error))
                continue;
            throw;
        }
        // Reported at once, so a later attachment that fails to write does
        // not hide the pictures already on disk.
        if (kept)
            kept(path);
        if (damaged && !item.Damage().empty())
            damaged(path, item.Damage());
        paths.push_back(std::move(path));
    }
    return paths;
}

THarvest::THarvest(TmsNNTP& client, std::string folder)
    : THarvest(client, folder, std::make_unique<TFolderIndex>(folder))
{
}

THarvest::THarvest(TmsNNTP& client, std::string folder, std::unique_ptr<THarvestIndex> index)
    : client_(client)
    , folder_(std::move(folder))
    , index_(std::move(index))
    , posts_(std::make_unique<TPostHarvest>(*this, client))
{
    RemoveUnfinishedFiles(folder_);
    client_.WillFetchArticles = [this](const TmsNgInfoItem& header) { return ArticlesToFetch(header); };
}

THarvest::~THarvest()
{
    client_.WillFetchArticles = nullptr;
}

namespace {

bool PassesSizeTest(const TmsNgInfoItem& header)
{
    return ExtractNumber(header.GetFieldValue("Lines")) > HarvestLineThreshold;
}

} // namespace

bool THarvest::WouldHarvest(const TmsNgInfoItem& header)
{
    return PassesSizeTest(header) && !IsMultiPartSubject(WholeSubject(header));
}

bool THarvest::WouldFetch(const TmsNgInfoItem& header)
{
    if (!WouldHarvest(header))
        return false;
    // Only a guess for sending ahead: an index that cannot be read is
    // reported when HarvestArticle asks again.
    try {
        return !Taken(header.GetFieldValue("Message-ID"));
    } catch (const Exception&) {
        return true;
    }
}

std::vector<TArticleNumber> THarvest::ArticlesToFetch(const TmsNgInfoItem& header)
{
    // The pool fetches them: the walk's client sends nothing for them.
    const bool pooled = pool_ && pool_->Accepting();
    if (!Filter.TakesText(header))
        return {};
    // A post's size is known once its parts are: it is not sent for ahead.
    if (JoinParts) {
        if (std::optional<std::vector<TArticleNumber>> parts = posts_->ForeseeFetches(header))
            return pooled || Filter.BoundsSize() ? std::vector<TArticleNumber>() : std::move(*parts);
    }
    if (WouldFetch(header) && !pooled && Filter.TakesSize(ExpectedArticleBytes(header)))
        return { header.Number };
    return {};
}

bool THarvest::Taken(const std::string& messageId)
{
    if (!IsUsableMessageId(messageId))
        return false;
    // An article handed to the pool is recorded only once it is kept: the
    // same article listed again meanwhile is not fetched twice.
    return pooledIds_.contains(messageId) || index_->Contains(messageId);
}

bool THarvest::HarvestHeader(const TmsNgInfoItem& header)
{
    FetchReturned();
    if (!Filter.TakesText(header)) {
        if (PassesSizeTest(header) || IsMultiPartSubject(WholeSubject(header)))
            Filter.NoteLeftOut(1);
        return false;
    }
    if (JoinParts && posts_->TakeHeader(header))
        return false;
    if (!PassesSizeTest(header))
        return false;
    if (!Filter.TakesSize(ExpectedArticleBytes(header))) {
        Filter.NoteLeftOut(1);
        return false;
    }
    return HarvestArticle(header);
}

void THarvest::ReportIncompletePosts()
{
    posts_->ReportIncomplete();
}

std::optional<TArticleNumber> THarvest::EarliestWaitingPart()
{
    return posts_->EarliestWaitingArticle();
}

bool THarvest::HarvestArticle(const TmsNgInfoItem& header)
{
    // Copied first: handlers fired during the fetch may empty the header
    // list that owns header.
    const std::string subject = header.GetFieldValue("Subject");
    const std::string messageId = header.GetFieldValue("Message-ID");
    const TArticleNumber number = header.Number;
    const bool multiPart = IsMultiPartSubject(WholeSubject(header));
    if (OnSubject)
        OnSubject(subject);
    if (multiPart || Taken(messageId))
        return false;
    if (!HandToPool(number, messageId, subject))
        FetchAndKeep(number, messageId, subject);
    return true;
}

void THarvest::FetchAndKeep(TArticleNumber number, const std::string& messageId, const std::string& subject)
{
    if (!Fetch(number, messageId, subject))
        return;
    TmsArticle* article = client_.Article();
    if (!article)
        return;
    Record(messageId, *article, KeepPictures(*article, subject));
}

void THarvest::Record(const std::string& messageId, const TmsArticle& article,
    const std::optional<std::vector<std::string>>& names)
{
    if (names)
        RecordUnderIds(RecordedIds(messageId, article), *names, AboutOf(article));
}

// The group walked, else the first the article names (one fetched by
// message-id, as an NZB's are).
TArticleAbout THarvest::AboutOf(const TmsArticle& article, bool ownThread) const
{
    TArticleAbout about;
    if (ownThread)
        about.group = client_.NewsGroup();
    if (about.group.empty())
        about.group = article.NewsGroups.substr(0, article.NewsGroups.find_first_of(", \t"));
    about.subject = article.Headers().GetFieldValue("Subject");
    about.poster = article.Headers().GetFieldValue("From");
    about.date = article.Headers().GetFieldValue("Date");
    return about;
}

// The article's own id, which its header may lack or an overview out of
// date may list wrongly; the header's when the article has none. An
// overview that listed another id keeps listing it: that id is recorded
// too, so that the next walk does not fetch the article again.
std::vector<std::string> THarvest::RecordedIds(const std::string& messageId, const TmsArticle& article)
{
    if (!IsUsableMessageId(article.MessageID))
        return { messageId };
    if (IsUsableMessageId(messageId) && messageId != article.MessageID)
        return { article.MessageID, messageId };
    return { article.MessageID };
}

void THarvest::RecordUnderIds(
    const std::vector<std::string>& ids, const std::vector<std::string>& names, const TArticleAbout& about)
{
    for (const std::string& id : ids) {
        // Only a picture's article is asked where it came from.
        if (!names.empty())
            index_->RecordAbout(id, about);
        index_->Record(id, names);
    }
}

void THarvest::SetPool(TFetchPool* pool)
{
    posts_->PoolEnded();
    pool_ = pool;
    // While a pool fetches, what it finds gone goes to the fill servers'
    // pools, not through their one connection in the walk's turn.
    if (fill_ && pool_)
        fill_->OpenPools(client_.MaxArticleSize);
    else if (fill_)
        fill_->ClosePools();
    // What the last pool did not keep (Stop, a gone article) is not in the
    // index: a later walk asks for it again.
    pooledIds_.clear();
    if (pool_)
        pool_->OnArticleSkipped
            = [this](const std::string& subject, const std::string& reason) { Skip(subject, reason); };
}

bool THarvest::HandToPool(TArticleNumber number, const std::string& messageId, const std::string& subject)
{
    if (!pool_)
        return false;
    // An article handed back earlier is the walk's own now.
    pool_->RaiseIfEnded();
    TFetchOrder order;
    order.number = number;
    order.messageId = messageId;
    order.subject = subject;
    order.keep = [this, messageId, subject](
                     const TmsArticle& article) { return KeepPooled(article, messageId, subject); };
    order.gone = [this, messageId, subject](const std::string& reason) { FillPooled(messageId, subject, reason); };
    if (!pool_->Submit(std::move(order)))
        return false;
    if (IsUsableMessageId(messageId))
        pooledIds_.insert(messageId);
    return true;
}

// On the pool's thread: the files are written here, everything the owner
// sees is collected and replayed on its thread, the index record last.
std::function<void()> THarvest::KeepPooled(
    const TmsArticle& article, const std::string& messageId, const std::string& subject)
{
    auto events = std::make_shared<std::vector<std::function<void()>>>();
    TKeepReport report;
    report.kept = [this, events](const std::string& path) {
        events->push_back([this, path] {
            if (OnPictureKept)
                OnPictureKept(path);
        });
    };
    report.damaged = [this, events](const std::string& path, const std::string& damage) {
        events->push_back([this, path, damage] {
            if (OnPictureDamaged)
                OnPictureDamaged(path, damage);
        });
    };
    report.skip = [this, events, subject](const std::string& reason) {
        events->push_back([this, subject, reason] { Skip(subject, reason); });
    };
    const auto names = KeepPictures(article, subject, report);
    const std::vector<std::string> ids = RecordedIds(messageId, article);
    // The group is the owner's to read.
    TArticleAbout about = AboutOf(article, false);
    return [this, events, names, ids, about]() mutable {
        for (const auto& event : *events)
            event();
        if (!client_.NewsGroup().empty())
            about.group = client_.NewsGroup();
        if (names)
            RecordUnderIds(ids, *names, about);
    };
}

void THarvest::FetchReturned()
{
    if (!pool_)
        return;
    for (TFetchOrder& order : pool_->TakeReturned())
        FetchHere(std::move(order));
    posts_->FetchOwnParts();
    FetchPendingFills();
    posts_->FetchPendingPartFills();
}

void THarvest::FetchHere(TFetchOrder order)
{
    if (order.takeText)
        posts_->FetchHere(std::move(order));
    else
        FetchAndKeep(order.number, order.messageId, order.subject);
}

void THarvest::FinishPool()
{
    if (!pool_)
        return;
    // The walk's client is free now: it fetches beside the pool.
    for (;;) {
        FetchReturned();
        pool_->RaiseIfEnded();
        if (std::optional<TFetchOrder> order = pool_->TakeWaiting()) {
            FetchHere(std::move(*order));
            continue;
        }
        const int filling = fill_ ? fill_->Outstanding() : 0;
        if (pool_->Outstanding() == 0 && !posts_->HasOwnParts() && pendingFills_.empty() && filling == 0)
            break;
        if (pool_->Outstanding() > 0)
            pool_->Drain();
        else if (filling > 0)
            fill_->Drain();
    }
}

// An article can vanish between its header and its text (a cancel, a
// takedown); the connection is fine and the walk goes on.
bool THarvest::HarvestArticleById(const std::string& messageId, const std::string& subject)
{
    if (Taken(messageId))
        return false;
    if (OnSubject)
        OnSubject(subject);
    try {
        client_.ReadArticle(messageId);
    } catch (const ENoSuchArticle& error) {
        if (!client_.Connected())
            throw;
        Skip(subject, "Gone from the server (" + error.Message() + ")");
        return true;
    }
    if (TmsArticle* article = client_.Article())
        Record(messageId, *article, KeepPictures(*article, subject));
    return true;
}

// A picture the folder has kept before, under whatever name, is not kept
// again: its joined file goes, and no name is recorded for the post.
std::string THarvest::KeepJoined(TPostJoiner& joiner)
{
    const TSha256Digest digest = DigestOfFile(joiner.PartialPath());
    if (index_->Kept(digest)) {
        std::error_code unused;
        std::filesystem::remove(joiner.PartialPath(), unused);
        joiner.Release();
        return {};
    }
    const std::string path = MoveNewFile(joiner.PartialPath(), folder_, joiner.FileName());
    joiner.Release();
    index_->RecordKept(digest, std::filesystem::path(path).filename().string());
    if (OnPictureKept)
        OnPictureKept(path);
    if (!joiner.Damage().empty() && OnPictureDamaged)
        OnPictureDamaged(path, joiner.Damage());
    return std::filesystem::path(path).filename().string();
}

bool THarvest::Fetch(TArticleNumber number, const std::string& messageId, const std::string& subject)
{
    try {
        client_.RetrieveArticleByNumber(number, messageId);
        return true;
    } catch (const ENoSuchArticle& error) {
        if (!client_.Connected())
            throw;
        // While a pool fetches, the fill servers' connections are their
        // pools': no connection beside them.
        if (fill_ && fill_->Pooled()) {
            FillPooled(messageId, subject, "Gone from the server (" + error.Message() + ")");
            return false;
        }
        if (client_.Article() && FetchFromFillServers(messageId, *client_.Article()))
            return true;
        Skip(subject, GoneReason(error.Message()));
        return false;
    }
}

bool THarvest::FetchFromFillServers(const std::string& messageId, TmsArticle& article,
    const std::function<void(std::string_view text)>& takeText)
{
    return fill_ && !fill_->Empty() && IsUsableMessageId(messageId) && fill_->Fetch(messageId, article, takeText);
}

std::string THarvest::GoneReason(const std::string& reply) const
{
    return "Gone from the server (" + reply + ")" + NotOnFillServers();
}

std::string THarvest::NotOnFillServers() const
{
    return fill_ && !fill_->Empty() ? "; not on " + fill_->Names() + " either" : std::string();
}

// The pool's reason is "Gone from the server (REPLY)".
void THarvest::FillPooled(const std::string& messageId, const std::string& subject, const std::string& reason)
{
    if (!fill_ || fill_->Empty() || !IsUsableMessageId(messageId)) {
        Skip(subject, reason);
        return;
    }
    if (!fill_->Pooled()) {
        pendingFills_.push_back({ messageId, subject, reason });
        return;
    }
    TFetchOrder order;
    order.messageId = messageId;
    order.subject = subject;
    order.keep = [this, messageId, subject](
                     const TmsArticle& article) { return KeepPooled(article, messageId, subject); };
    fill_->Submit(std::move(order), [this, subject, reason] { Skip(subject, reason + NotOnFillServers()); });
}

void THarvest::FetchPendingFills()
{
    while (!pendingFills_.empty()) {
        const TPendingFill fill = std::move(pendingFills_.front());
        pendingFills_.pop_front();
        TmsArticle article;
        if (FetchFromFillServers(fill.messageId, article))
            Record(fill.messageId, article, KeepPictures(article, fill.subject));
        else
            Skip(fill.subject, fill.reason + NotOnFillServers());
    }
}

std::optional<std::vector<std::string>> THarvest::KeepPictures(
    const TmsCustomMessage& article, const std::string& subject)
{
    TKeepReport report;
    report.kept = OnPictureKept;
    report.damaged = OnPictureDamaged;
    report.skip = [this, &subject](const std::string& reason) { Skip(subject, reason); };
    return KeepPictures(article, subject, report);
}

std::optional<std::vector<std::string>> THarvest::KeepPictures(
    const TmsCustomMessage& article, const std::string& subject, const TKeepReport& report)
{
    bool complete = true;
    const std::vector<std::string> paths = SavePictures(
        article, folder_, report.kept, report.damaged, [&](const std::string&, const Exception& error) {
            // Without its folder no later picture could be kept either.
            std::error_code unused;
            if (!std::filesystem::is_directory(folder_, unused))
                return false;
            report.skip(error.Message());
            complete = false;
            return true;
        },
        index_.get());
    ReportEmptyPictures(article, report);
    if (!article.DecodeError().empty())
        report.skip("Damaged beyond decoding (" + article.DecodeError()
            + "); the pictures before the damage are kept");
    if (!complete)
        return std::nullopt;
    std::vector<std::string> names;
    for (const std::string& path : paths)
        names.emplace_back(BareFileName(path));
    return names;
}

// A picture attachment that decoded to nothing (a base64 part without one
// character of its alphabet) gives no empty file, and says why.
void THarvest::ReportEmptyPictures(const TmsCustomMessage& article, const TKeepReport& report)
{
    const TmsAttList& attachments = article.Attachments();
    for (int i = 0; i < attachments.Count(); ++i) {
        const TmsAttItem& item = attachments.Items(i);
        const std::string name = SafeFileName(item.FileName());
        if (!name.empty() && HasPictureExtension(name) && item.Stream.View().empty())
            report.skip("Damaged beyond decoding (" + name + " decodes to nothing)");
    }
}

void THarvest::Skip(const std::string& subject, const std::string& reason)
{
    if (OnArticleSkipped)
        OnArticleSkipped(subject, reason);
}

} // namespace lumigrab
