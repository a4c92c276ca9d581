// The plain header walk of the news client: one HEAD and one NEXT per
// article, for servers without an overview and bare components, and the
// search for the first article that still exists. Part of TmsNNTP, whose
// contract (RetrieveHeaders in msnntp.h) it keeps; it holds nothing between
// walks, so a walk makes one for its length.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "news/articlenumber.h"

namespace lumigrab {

class TmsNNTP;

class THeadWalk {
public:
    explicit THeadWalk(TmsNNTP& client);
    THeadWalk(const THeadWalk&) = delete;
    THeadWalk& operator=(const THeadWalk&) = delete;

    // Takes up to count headers (count <= 0: to the group's end) after the
    // client's LastHeaderNumber, firing the client's events.
    void Walk(int64_t count);

private:
    TmsNNTP& client_;

    // STAT (with or without a number); false when the article is not there.
    bool StatIfPresent(std::optional<TArticleNumber> number);
    // Makes the first article to walk that still exists the current one;
    // false when the group has none.
    bool StartAtFirstArticle();
    // Makes the first article after number that exists the current one;
    // false when there is none up to the group's last number.
    bool FindArticleAfter(TArticleNumber number);
    std::optional<std::vector<TArticleNumber>> ListGroupNumbers(TArticleNumber from, TArticleNumber to);
    // NEXT, which must move past position; false at the end of the group.
    bool NextArticleAfter(TArticleNumber position);
};

} // namespace lumigrab
