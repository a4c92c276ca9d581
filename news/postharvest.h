// The harvest of multi-part posts: their parts are followed through the
// header walk, and once a post has all of them they are fetched in part
// order (named ahead to the client, which sends for them early) and joined
// into a picture in a hidden folder of partial files inside the picture
// folder, then moved among the pictures.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "news/postcollector.h"

namespace lumigrab {

class Exception;
class THarvest;
class TmsNNTP;
class TmsNgInfoItem;
class TPostJoiner;

// The hidden folder of partial files inside the picture folder.
constexpr const char* PartialFolderName = ".lumigrab-parts";

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
    std::optional<std::vector<int32_t>> ForeseeFetches(const TmsNgInfoItem& header);
    // Reports each waiting post once (THarvest::OnPostIncomplete): the walk
    // reached the group's end without its missing parts.
    void ReportIncomplete();

private:
    THarvest& harvest_;
    TmsNNTP& client_;
    TPostCollector posts_;
    // The message-ids of the articles carrying first parts: a post is known
    // to the folder's index by its first part.
    std::unordered_map<int32_t, std::string> firstPartIds_;
    // The same for first parts foreseen and not taken yet, by number.
    std::map<int32_t, std::string> foreseenFirstPartIds_;

    void Join(TPost& post, const std::string& subject);
    // The usable message-ids of the post's first part, each copy's.
    std::vector<std::string> FirstPartIds(const TPost& post) const;
    bool TakenBefore(const TPost& post);
    // Whether the index has the first part's article foreseen as number.
    bool FirstPartTaken(int32_t number);
    // Records the post in the index under its first part: a later walk,
    // also after a restart, leaves it alone.
    void Record(const TPost& post, const std::vector<std::string>& fileNames);
    void Forget(const TPost& post);
    void JoinParts(TPost& post, const std::string& subject);
    // Fetches the post's part into joiner; false when no article of the
    // part is left on the server.
    bool FetchPart(TPost& post, int part, TPostJoiner& joiner);
    // The name of the picture's file in the folder.
    std::string Keep(TPostJoiner& joiner);
    // A file of the post cannot be written: reported, unless the picture
    // folder itself is gone (false), which ends the walk.
    bool FileFailed(const std::string& subject, const Exception& error);
    void ReportIncomplete(TPost& post);
    std::string PartialFolder() const;
    void RemovePartialFiles();
};

} // namespace lumigrab
