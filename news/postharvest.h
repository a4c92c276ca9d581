// The harvest of multi-part posts: their parts are followed through the
// header walk, and once a post has all of them they are fetched one after
// the other and joined into a picture in a hidden folder of partial files
// inside the picture folder, then moved among the pictures.
#pragma once

#include <cstdint>
#include <string>

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
    // Reports each waiting post once (THarvest::OnPostIncomplete): the walk
    // reached the group's end without its missing parts.
    void ReportIncomplete();

private:
    THarvest& harvest_;
    TmsNNTP& client_;
    TPostCollector posts_;

    void Join(TPost& post, const std::string& subject);
    void JoinParts(TPost& post, const std::string& subject);
    // Fetches the post's part into joiner; false when no article of the
    // part is left on the server.
    bool FetchPart(TPost& post, int part, TPostJoiner& joiner);
    void Keep(TPostJoiner& joiner);
    // A file of the post cannot be written: reported, unless the picture
    // folder itself is gone (false), which ends the walk.
    bool FileFailed(const std::string& subject, const Exception& error);
    void ReportIncomplete(TPost& post);
    std::string PartialFolder() const;
    void RemovePartialFiles();
};

} // namespace lumigrab
