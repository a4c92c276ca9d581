// The message-ids of article headers by their numbers, for telling a reply
// about another article from the one asked for (TmsNNTP): a walk's client
// notes the headers it holds, and the pooled connections fetching for that
// walk (news/fetchpool.h) look them up on their own threads. Every member
// may be called from any thread.
//
// Noting a header is cheap, as a walk notes every one it reads; looking up
// goes through the entries, as it is done per article fetched, or for a
// reply whose message-id differs from its header's.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "news/articlenumber.h"

namespace lumigrab {

class THeaderIds {
public:
    // Notes the header's id after the others; one that does not start with
    // "<" cannot be told apart from the server's and is not kept. A number
    // may have several ids, and an id several numbers.
    void Add(TArticleNumber number, std::string id);
    // For the ascending numbers of a walk: forgets the oldest entries while
    // their numbers are below number, or the newest while theirs are number
    // or above (a walk gone back).
    void ForgetBelow(TArticleNumber number);
    void ForgetFrom(TArticleNumber number);
    void Clear();

    // The id noted last for the number; empty when none is.
    std::string IdOf(TArticleNumber number) const;
    // Whether id is noted for a header of another number than number.
    bool NamesOther(std::string_view id, TArticleNumber number) const;

private:
    struct TEntry {
        TArticleNumber number;
        std::string id;
    };

    mutable std::mutex mutex_;
    // In the order noted.
    std::deque<TEntry> entries_;
};

} // namespace lumigrab
