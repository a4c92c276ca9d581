// Following the parts of multi-part posts as a header walk passes them:
// which articles make up which post, and when a post has all its parts.
// Bookkeeping only; news/postharvest.h fetches and joins. A post is known
// by a digest of what makes it, whose subject may be as long as a header
// line: what is kept of each post stays small whatever strangers post.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "news/articlenumber.h"
#include "news/sha256.h"
#include "news/partmarker.h"

namespace lumigrab {

// Most parts a post may claim; a post claiming more is refused.
constexpr int MaxPostParts = 1000;
// Most posts followed at once; beyond it the oldest is dropped.
constexpr size_t DefaultMaxTrackedPosts = 10000;

// What makes a post, the subject without its marker, the poster and the
// part count, as a SHA-256 digest: posts that differ in any of them, even
// far into a long subject, never share one.
using TPostKey = TSha256Digest;

struct TPost {
    // Joining: complete, its parts on their way through the connection
    // pool; never dropped to make room.
    enum class TState { Waiting, Joining, Joined, Refused };

    uint64_t id = 0;
    TPostKey key {};
    // The subject without its marker as reports give it: cut to the limit
    // of a header value (MaxShortString).
    std::string subject;
    // The subject has a double quote: a quoted name is a file name.
    bool quoted = false;
    int total = 0;
    // The name reports give it (PostDisplayName), at most MaxFileNameBytes.
    std::string name;
    // Per part (index part - 1), the article numbers that carry it, first
    // seen first: a part posted twice is fetched once, the copy only when
    // the first is gone.
    std::vector<std::vector<TArticleNumber>> articles;
    // Changed through TPostCollector::SetState only, which keeps track of
    // the posts that may make room.
    TState state = TState::Waiting;
    // The sizes of its parts' first articles as their headers tell them.
    int64_t bytes = 0;
    // Its incomplete report was given; it is given once.
    bool reported = false;

    bool Complete() const;
    // Part numbers without an article, ascending.
    std::vector<int> MissingParts() const;
    // "Incomplete: harbour.jpg, parts 4 of 5 missing".
    std::string IncompleteReport() const;
};

class TPostCollector {
public:
    explicit TPostCollector(size_t maxTrackedPosts = DefaultMaxTrackedPosts);

    struct TAdded {
        enum class TWhat {
            // A part of a post still waiting for others, or a part of a post
            // already joined or refused.
            Noted,
            // The post has every part now: fetch and join it.
            Complete,
            // A new post claiming more than MaxPostParts parts.
            Refused,
        } what
            = TWhat::Noted;
        TPost* post = nullptr;
        // A waiting post that made room for this one.
        std::optional<TPost> dropped;
    };

    // Takes article number with the marker of its subject and its poster;
    // the marker must be of a multi-part post (part 1 to total, total above
    // 1). bytes, the article's size, counts toward the post's when the
    // article is the first known of its part.
    TAdded Add(const TPartMarker& marker, const std::string& from, TArticleNumber number, int64_t bytes = 0);
    // What Add would make of the article, recording nothing: when it would
    // complete its post, the article to fetch for each part (the first
    // copy), in part order; otherwise nothing. Articles foreseen before it
    // count as known until added, so that the headers of a batch can be
    // foreseen in walk order before any of them is added. Foreseeing a
    // number not above the last one foreseen starts afresh (a new walk).
    std::vector<TArticleNumber> Foresee(const TPartMarker& marker, const std::string& from, TArticleNumber number);
    // The first article of part is gone; its copy, if any, takes its place.
    void ForgetArticle(TPost& post, int part);
    // Moves post, one of the collector's, to state.
    void SetState(TPost& post, TPost::TState state);
    // The posts still waiting, oldest first.
    std::vector<TPost*> Waiting();
    size_t Count() const { return posts_.size(); }

private:
    using TKey = TPostKey;

    size_t maxPosts_;
    uint64_t nextId_ = 1;
    std::list<TPost> posts_;
    std::map<TKey, std::list<TPost>::iterator> index_;
    // The joined and refused posts by age (id), the first to make room: a
    // group of floods that never complete must not cost a walk through
    // every post tracked for each new one.
    std::map<uint64_t, std::list<TPost>::iterator> settled_;
    // Articles foreseen and not added yet: by post, then by number with
    // their part; and the post of each number.
    std::map<TKey, std::map<TArticleNumber, int>> foreseen_;
    std::map<TArticleNumber, TKey> foreseenPosts_;

    // Forgets the foreseen articles up to number.
    void ForgetForeseen(TArticleNumber number);
    // The first article of each part of post (nullptr: a new one) with the
    // foreseen ones of key; NoArticle for a part without one.
    std::vector<TArticleNumber> FirstArticles(const TPost* post, const TKey& key, int total) const;

    TPost& NewPost(const TPartMarker& marker, const TKey& key, std::optional<TPost>& dropped);
    // Makes room for one more post: the oldest joined or refused one goes
    // quietly, else the oldest waiting one, which is returned.
    std::optional<TPost> MakeRoom();
};

} // namespace lumigrab
