// The harvest of multi-part posts: their parts are followed through the
// header walk, and once a post has all of them they are fetched in part
// order (named ahead to the client, which sends for them early) and joined
// into a picture in a hidden folder of partial files inside the picture
// folder, then moved among the pictures.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "news/fetchpool.h"
#include "news/harvestindex.h"
#include "news/pooledjoin.h"
#include "news/postcollector.h"

namespace lumigrab {

class Exception;
class THarvest;
class TmsNNTP;
class TmsNgInfoItem;
class TPostJoiner;

// The hidden folder of partial files inside the picture folder.
constexpr const char* PartialFolderName = ".lumigrab-parts";
// Most part message-ids kept for the fill servers (about 100 MB): a flood
// of parts beyond it is followed as before, without a second chance.
constexpr size_t MaxRememberedPartIds = 1000000;

// Fetches part into joiner from harvest's fill servers, by the message-ids
// of its copies in turn; false when none has any. A joiner failure is
// raised once the fill server's reply is read.
bool FetchPartFromFillServers(THarvest& harvest, const std::vector<std::string>& ids, int part, TPostJoiner& joiner);

// Hands the client's fetched article text to the joiner as part for as
// long as it lives. A joiner failure is kept and raised (RaiseFailure) once
// the client is done, so that it never leaves the client halfway through a
// reply.
class TPartReader {
public:
    TPartReader(TmsNNTP& client, TPostJoiner& joiner, int part);
    ~TPartReader();
    TPartReader(const TPartReader&) = delete;
    TPartReader& operator=(const TPartReader&) = delete;

    void RaiseFailure() const;

private:
    TmsNNTP& client_;
    std::exception_ptr failure_;
};

class TPostHarvest {
public:
    // Removes the partial files a harvest before this one left behind.
    TPostHarvest(THarvest& harvest, TmsNNTP& client);

    // Takes the header when its subject marks one part of a multi-part post
    // (parts 1 to N, N above 1) and returns true; joins its post when this
    // part completes it. Returns false for every other header.
    bool TakeHeader(const TmsNgInfoItem& header);
    // What TakeHeader will fetch for the header, asked before it is taken
    // (TmsNNTP::WillFetchArticles): for a part that will complete its
    // post, the articles of its parts in the order they are fetched;
    // nothing for another part; no answer when the header is no part.
    std::optional<std::vector<TArticleNumber>> ForeseeFetches(const TmsNgInfoItem& header);
    // Reports each waiting post once (THarvest::OnPostIncomplete): the walk
    // reached the group's end without its missing parts. A post that has
    // every part but whose join was cut short (Stop) is joined instead.
    void ReportIncomplete();
    // The lowest article number among the parts of the posts still
    // waiting for others; nullopt when none waits.
    std::optional<TArticleNumber> EarliestWaitingArticle();

    // With the harvest's pool accepting, a complete post's parts are handed
    // to it a window at a time (the pool's size and two more), fetched and
    // joined on its threads; the file is moved among the pictures, the
    // events fire and the index is written on this thread. A part the pool
    // cannot take any more is fetched on the walk's client by
    // FetchOwnParts.
    //
    // Fetches on the walk's client the parts the pool could not take, and
    // the part order given (one the pool handed back).
    void FetchOwnParts();
    void FetchHere(TFetchOrder order);
    bool HasOwnParts() const { return !ownParts_.empty() || !pendingPartFills_.empty(); }
    // Asks the fill servers for the parts of pooled joins whose every copy
    // was gone; in the walk's own turn, never inside another wait.
    void FetchPendingPartFills();
    // The pool ends (or another comes): joins still on their way are given
    // up, their posts wait to be joined again.
    void PoolEnded();

private:
    THarvest& harvest_;
    TmsNNTP& client_;
    TPostCollector posts_;
    // The message-ids of the articles carrying first parts: a post is known
    // to the folder's index by its first part.
    std::unordered_map<TArticleNumber, std::string> firstPartIds_;
    // With fill servers, the message-ids of every part's articles, so that
    // a part the walk's server lost can be asked for elsewhere; at most
    // MaxRememberedPartIds at once.
    std::unordered_map<TArticleNumber, std::string> partIds_;
    // The same for first parts foreseen and not taken yet, by number.
    std::map<TArticleNumber, std::string> foreseenFirstPartIds_;

    // A post whose parts the pool fetches; only touched on this thread.
    struct TPoolPost {
        uint64_t serial = 0;
        TPost* post = nullptr;
        std::string subject;
        std::shared_ptr<TPooledJoin> join;
        // Per part, the articles carrying it when the join began, and how
        // many of them were found gone.
        std::vector<std::vector<TArticleNumber>> copies;
        std::vector<size_t> gone;
        // Parts handed out and written so far, from part 1 on.
        int handed = 0;
        int written = 0;
        // The lowest part whose every copy is gone; 0 for none.
        int missing = 0;
    };
    // By serial: a post joined again is a join of its own.
    std::map<uint64_t, TPoolPost> poolPosts_;
    uint64_t poolJoins_ = 0;
    // Orders of parts the pool did not take, for the walk's client.
    std::deque<TFetchOrder> ownParts_;
    // The subjects of posts whose join the pool's end cut short.
    std::unordered_map<uint64_t, std::string> cutShort_;

    void Join(TPost& post, const std::string& subject);
    void JoinInPool(TPost& post, const std::string& subject);
    // Hands parts out up to the window.
    void HandOut(TPoolPost& entry);
    void HandOut(TPoolPost& entry, int part);
    // On this thread, after a pooled part was written or dropped; id is
    // the join's serial.
    void PartWritten(uint64_t id, const TPooledJoin::TProgress& progress);
    void PartGone(uint64_t id, int part);
    // Once the parts before the first missing one are in: reported as one
    // connection would have, with the gone copies it would have tried.
    void ReportWhenInTurn(TPoolPost& entry);
    void KeepPooled(TPoolPost& entry);
    // Ends a pooled join: its partial file goes.
    void EndPooled(uint64_t serial);
    // Raises what ends the run after a failed join; otherwise reports it
    // and refuses the post.
    void JoinFailed(TPost& post, const std::string& subject, std::exception_ptr failure);
    // The usable message-ids of the post's first part, each copy's.
    std::vector<std::string> FirstPartIds(const TPost& post) const;
    bool TakenBefore(const TPost& post);
    // Whether the index has the first part's article foreseen as number.
    bool FirstPartTaken(TArticleNumber number);
    // Records the post in the index under its first part: a later walk,
    // also after a restart, leaves it alone.
    void Record(const TPost& post, const std::vector<std::string>& fileNames);
    void Forget(const TPost& post);
    void JoinParts(TPost& post, const std::string& subject);
    // Fetches the post's part into joiner; false when no article of the
    // part is left on the server.
    bool FetchPart(TPost& post, int part, TPostJoiner& joiner);
    // The same for a pooled join, whose part's every copy was gone.
    bool FillPooledPart(uint64_t id, int part);
    // Hands the part, by the message-id of its copy-th copy, to the fill
    // servers' pools; the next copy when none has it, then PartMissing.
    void SubmitPartFill(uint64_t id, int part, size_t copy);
    // The take-text handler of a pooled order for the part.
    TTakeText PartText(uint64_t id, int part, const std::shared_ptr<TPooledJoin>& join);
    std::vector<std::string> PartIdsOf(const std::vector<TArticleNumber>& numbers) const;
    // A pooled join's part that no server gave.
    void PartMissing(uint64_t id, int part);
    // Pooled joins' parts waiting for the fill servers: (join, part).
    std::deque<std::pair<uint64_t, int>> pendingPartFills_;
    // What each complete post was (news/harvestindex.h), by post id, from
    // completion until it is recorded or forgotten.
    std::unordered_map<uint64_t, TArticleAbout> abouts_;
    // The name of the picture's file in the folder.
    std::string Keep(TPostJoiner& joiner);
    // A file of the post cannot be written: reported, unless the picture
    // folder itself is gone (false), which ends the walk.
    bool FileFailed(const std::string& subject, const Exception& error);
    void ReportIncomplete(TPost& post);
    std::string PartialFolder() const;
    void RemovePartialFiles();
    // The hidden folder goes once empty; remove() leaves it otherwise.
    void RemovePartialFolderIfEmpty();
};

} // namespace lumigrab
