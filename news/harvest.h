// Picking pictures out of the articles a header walk passes: which articles
// are worth fetching, and which of their attachments are kept. Shared by the
// main window's header handler and the command-line harvester.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "message/msmsg.h"
#include "news/harvestindex.h"
#include "news/headerfilter.h"
#include "news/msnntp.h"
#include "news/msnwscls.h"

namespace lumigrab {

// Articles with more lines than this are fetched; smaller ones are text.
constexpr double HarvestLineThreshold = 150;

// The lenient number reader of the size test: keeps only "0"-"9", "-" and
// "." and reads what is left as a decimal number; 0 when nothing usable is
// left ("1,234" reads as 1234, a missing field as 0).
double ExtractNumber(std::string_view text);

// True when the subject marks one part of a multi-part post ("(1/3)",
// "(0/5)", "(10/12)"); a single part "(1/1)" is not marked.
bool IsMultiPartSubject(std::string_view subject);

// The header's subject as far as a header line goes (MaxOverviewValue),
// where part markers are looked for: a long subject may carry its marker
// far beyond what GetFieldValue keeps of it for reports.
std::string WholeSubject(const TmsNgInfoItem& header);

// True when the name's last three characters are a picture extension
// (JPG, GIF, BMP, DIB, RLE, PCX, TGA), or the name ends in ".png", ".webp",
// ".jpeg" or ".jpe"; in any case.
bool HasPictureExtension(std::string_view fileName);

// Largest picture a multi-part post may join into, by default.
constexpr uint64_t DefaultMaxPostSize = uint64_t(512) << 20;

class TPostHarvest;
class TPostJoiner;
class TFillServers;
class TFetchPool;
struct TFetchOrder;

using PictureKeptEvent = std::function<void(const std::string& path)>;
// A kept picture whose bytes may be wrong, with what did not match
// (TmsAttItem::Damage).
using PictureDamagedEvent = std::function<void(const std::string& path, const std::string& damage)>;
// A picture whose file cannot be created or written: its name and the
// error. Returns whether to go on with the next picture.
using PictureFailedEvent = std::function<bool(const std::string& name, const Exception& error)>;
// The subject of an article, and why it was passed over or kept in part.
using ArticleSkippedEvent = std::function<void(const std::string& subject, const std::string& reason)>;

// Writes the picture attachments of message into new files in folder and
// returns the paths of the files that hold them, in attachment order. Names
// follow base/filenames.h: bare and safe, numbered when taken ("a.jpg" ->
// "a-1.jpg"), so no file already in the folder is replaced. Each picture
// takes its name only once whole (SaveWholeFile), so a harvest killed while
// it writes leaves no picture cut short under a picture's name. A picture whose
// bytes a file of its name or a numbered variant already holds is not
// written again; that file's path is returned, and kept is not called.
// With an index, neither is one whose bytes the index has a picture of
// under any name (THarvestIndex::Kept); nothing is returned for it. Each
// picture written, or found under its name, is recorded there.
// Other attachments, and pictures without a byte, are not written. kept is
// called with each new path as soon as its file is complete, then damaged
// for a damaged picture. A file that cannot be created or written raises
// EFCreateError / EInOutError, unless failed is given and answers true: then
// that picture is left out and the next one follows. A full or read-only
// file system raises EDiskFullError without asking failed: no later
// picture could be written either.
std::vector<std::string> SavePictures(const TmsCustomMessage& message, const std::string& folder,
    const PictureKeptEvent& kept = {}, const PictureDamagedEvent& damaged = {},
    const PictureFailedEvent& failed = {}, THarvestIndex* index = nullptr);

class THarvest {
public:
    // client.Article() receives the fetched articles; folder must exist
    // by the first header. While the harvest lives, client.WillFetchArticles
    // is ArticlesToFetch, so that an overview walk can ask for the articles
    // ahead of their headers' events; HarvestHeader is called from
    // OnNextHeaderRetrieved as before. One harvest per client at a time.
    // What was taken is recorded in the folder's index (TFolderIndex), or
    // in index when one is given, under the article's own message-id (the
    // header's when the article has none). Partial files of multi-part posts
    // and pictures cut short that an earlier harvest left behind (killed
    // while writing) are removed.
    THarvest(TmsNNTP& client, std::string folder);
    THarvest(TmsNNTP& client, std::string folder, std::unique_ptr<THarvestIndex> index);
    ~THarvest();
    THarvest(const THarvest&) = delete;
    THarvest& operator=(const THarvest&) = delete;

    // The full path of each picture kept, as it is kept.
    PictureKeptEvent OnPictureKept;
    // After OnPictureKept, for a kept picture that arrived damaged.
    PictureDamagedEvent OnPictureDamaged;
    // The subject of each article that passed the size test.
    std::function<void(const std::string& subject)> OnSubject;
    // An article passed over, or kept in part, while the walk goes on, with
    // why (a text for a status line):
    // - "Gone from the server (430 No such article)", with the server's
    //   reply: expired, cancelled or taken down; nothing is kept;
    // - "Damaged beyond decoding (...); the pictures before the damage are
    //   kept", with the decoder's error (its recovery result);
    // - the file error ("Cannot create file ..."): a picture's file cannot
    //   be created or written ("Cannot create file PATH: REASON", "Cannot
    //   write PATH: REASON"); the article's other pictures are kept, and
    //   the article is not recorded, so a later walk fetches it again;
    // - "Damaged beyond decoding (NAME decodes to nothing)": a picture
    //   attachment without a single byte, which gives no file.
    // Everything else still raises and so ends the walk: a failed or closed
    // connection, a time-out, Stop, a picture folder that is gone, a full or
    // read-only file system (EDiskFullError; that article is not recorded),
    // an index that cannot be read or written.
    ArticleSkippedEvent OnArticleSkipped;

    // Multi-part posts are followed through the walk and joined once all
    // their parts are known (news/postharvest.h); with false they are
    // passed over as single articles of a multi-part subject always were.
    bool JoinParts = true;
    // A post announcing a larger file, or growing beyond it, is reported
    // and skipped.
    uint64_t MaxPostSize = DefaultMaxPostSize;
    // Which headers are taken (news/headerfilter.h): one the filter leaves
    // out is neither fetched nor followed as a part, and a multi-part post
    // whose parts add up to a size outside its range is never fetched. Each
    // left out counts in Filter.LeftOut(): headers that would have been
    // fetched or followed, and a post's parts. Set before the walk.
    THeaderFilter Filter;
    // A multi-part post that cannot be completed, reported once: "Incomplete:
    // harbour.jpg, parts 4 of 5 missing". Its parts are still followed; a
    // later walk that brings the missing ones joins it.
    std::function<void(const std::string& report)> OnPostIncomplete;

    // Hands the single-part picture articles to pool (news/fetchpool.h)
    // instead of fetching them on the walk's client; their pictures are
    // saved on the pool's threads and their events fire on this one as
    // they arrive. The pool's OnArticleSkipped reports through
    // OnArticleSkipped. Articles the pool hands back (every connection
    // refused) are fetched on the walk's client from the next header on.
    // The parts of complete multi-part posts go to the pool too, a window
    // of parts per post at a time, and are joined on its threads
    // (news/pooledjoin.h). nullptr: no pool, as with one connection. Not
    // owned; set it before the walk. Joins a pool leaves unfinished are
    // taken up again at the group's end (ReportIncompletePosts).
    void SetPool(TFetchPool* pool);
    TFetchPool* Pool() const { return pool_; }
    // Fetches on the walk's client, beside the pool, the articles no pooled
    // connection has started on, then waits, with the event loop running,
    // until the pool has fetched what it was handed, and fetches what it
    // handed back; raises the pool's
    // error (or ECanceledError after its Stop). For the walk's end: after
    // RetrieveHeaders, or from OnLastHeaderRetrieved. Nothing without a
    // pool.
    void FinishPool();

    // Servers asked, by message-id, for an article the walk's server no
    // longer has (news/fillservers.h): single articles and the parts of
    // multi-part posts, whichever connection found them gone. nullptr for
    // none. Not owned; set before the walk.
    void SetFillServers(TFillServers* fill) { fill_ = fill; }
    TFillServers* FillServers() const { return fill_; }
    // Fetches the article with messageId from the fill servers into
    // article, or its text into takeText; false when there are none or
    // none has it.
    bool FetchFromFillServers(const std::string& messageId, TmsArticle& article,
        const std::function<void(std::string_view text)>& takeText = {});
    // What a report says of an article gone, with the server's reply:
    // "Gone from the server (430 No such article)", naming the fill servers
    // tried too ("; not on news2.example.org either").
    std::string GoneReason(const std::string& reply) const;

    const std::string& Folder() const { return folder_; }
    // Where the harvest records what it has taken.
    THarvestIndex& Index() { return *index_; }

    // Reports the multi-part posts still missing parts, each once: called
    // when a walk has reached the group's end (OnLastHeaderRetrieved), as
    // no part not yet posted can follow.
    void ReportIncompletePosts();
    // The lowest article number among the parts of multi-part posts still
    // waiting for others; nullopt when none waits.
    std::optional<TArticleNumber> EarliestWaitingPart();

    // The size test, then HarvestArticle. Returns whether the article was
    // fetched. With JoinParts, a part of a multi-part post goes to the
    // post's bookkeeping instead (whatever its size), and its post is
    // fetched and joined once complete; false then.
    bool HarvestHeader(const TmsNgInfoItem& header);
    // Whether HarvestHeader would fetch an article with this header by the
    // size test and the multi-part test, without events.
    static bool WouldHarvest(const TmsNgInfoItem& header);
    // WouldHarvest, and the header's message-id is not in the index.
    bool WouldFetch(const TmsNgInfoItem& header);
    // The articles HarvestHeader will fetch for the header, in the order it
    // fetches them, asked before the header is taken: its own when
    // WouldFetch, or with JoinParts the parts of the post it completes.
    std::vector<TArticleNumber> ArticlesToFetch(const TmsNgInfoItem& header);
    // Fetches the header's article unless its subject marks a part of a
    // multi-part post or the index has its message-id, keeps its pictures
    // and records it. Returns whether it fetched.
    bool HarvestArticle(const TmsNgInfoItem& header);

    // For an article named by its message-id (an NZB's): fetches it on the
    // client (ARTICLE <id>, no group needed), keeps its pictures and
    // records it as HarvestArticle does. False, with nothing sent, when the
    // index has it.
    bool HarvestArticleById(const std::string& messageId, const std::string& subject);
    // Takes the file a finished joiner holds into the folder under its own
    // name (numbered when taken), fires OnPictureKept and OnPictureDamaged,
    // and returns the name; a file whose bytes the folder has kept before,
    // under any name, is removed instead, and the name is empty.
    std::string KeepJoined(TPostJoiner& joiner);

private:
    TmsNNTP& client_;
    std::string folder_;
    std::unique_ptr<THarvestIndex> index_;
    std::unique_ptr<TPostHarvest> posts_;
    TFetchPool* pool_ = nullptr;
    TFillServers* fill_ = nullptr;
    struct TPendingFill {
        std::string messageId;
        std::string subject;
        std::string reason;
    };
    std::deque<TPendingFill> pendingFills_;
    // Message-ids of the articles handed to the pool.
    std::unordered_set<std::string> pooledIds_;

    // Where a kept article's events and skips go: the harvest's own events
    // at once, or, on a pool's thread, collected for the owner's.
    struct TKeepReport {
        PictureKeptEvent kept;
        PictureDamagedEvent damaged;
        std::function<void(const std::string& reason)> skip;
    };

    bool Taken(const std::string& messageId);
    // Whether the pool took the article.
    bool HandToPool(TArticleNumber number, const std::string& messageId, const std::string& subject);
    // The pool's keep handler for one article: runs on the pool's thread.
    std::function<void()> KeepPooled(
        const TmsArticle& article, const std::string& messageId, const std::string& subject);
    // On the owner's thread, for an article a pooled connection found gone:
    // handed to the fill servers' pools; without those, queued, as the
    // pool's results arrive inside other waits, and a fill server's one
    // connection serves one request at a time.
    void FillPooled(const std::string& messageId, const std::string& subject, const std::string& reason);
    // Asks the fill servers for what the pool found gone, in the walk's
    // own turn.
    void FetchPendingFills();
    // "; not on news2.example.org either", empty without fill servers.
    std::string NotOnFillServers() const;
    // Fetches on the walk's client what the pool handed back, and the
    // parts of posts it could not take.
    void FetchReturned();
    void FetchHere(TFetchOrder order);
    void FetchAndKeep(TArticleNumber number, const std::string& messageId, const std::string& subject);
    void Record(const std::string& messageId, const TmsArticle& article,
        const std::optional<std::vector<std::string>>& names);
    // The id the index records for an article whose header had messageId.
    static std::vector<std::string> RecordedIds(const std::string& messageId, const TmsArticle& article);
    // The about line goes with each id of an article that gave pictures.
    void RecordUnderIds(const std::vector<std::string>& ids, const std::vector<std::string>& names,
        const TArticleAbout& about = {});
    // What the article was, for the index; the group walked only on the
    // owner's thread (ownThread), else the article's own first.
    TArticleAbout AboutOf(const TmsArticle& article, bool ownThread = true) const;
    // Whether the article arrived; false when the server no longer has it.
    bool Fetch(TArticleNumber number, const std::string& messageId, const std::string& subject);
    // The names of the files holding its pictures, or nothing when a
    // picture could not be written.
    std::optional<std::vector<std::string>> KeepPictures(
        const TmsCustomMessage& article, const std::string& subject);
    std::optional<std::vector<std::string>> KeepPictures(
        const TmsCustomMessage& article, const std::string& subject, const TKeepReport& report);
    void ReportEmptyPictures(const TmsCustomMessage& article, const TKeepReport& report);
    void Skip(const std::string& subject, const std::string& reason);
};

} // namespace lumigrab
