// Fetching the files an NZB names (news/nzbfile.h) into a harvest's folder,
// by message-id and without a group: each file's segments in number order,
// joined as a multi-part post is (a file of one segment is an article of
// its own), and kept when it is a picture by the harvest's rules, its
// first segment recorded in the folder index so that the same NZB opened
// again fetches nothing. A file whose subject names something other than
// a picture (par2, nfo, an archive) is reported once and never fetched;
// one with a segment the server no longer has is reported incomplete and
// not kept.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "news/nzbfile.h"

namespace lumigrab {

class THarvest;
class TPostJoiner;
class TmsNNTP;

class TNzbHarvest {
public:
    // Neither is owned; the harvest's events report what happens.
    TNzbHarvest(TmsNNTP& client, THarvest& harvest);

    // A file passed over as no picture, with the name its subject gives:
    // reported, not counted as an article lost.
    std::function<void(const std::string& name)> OnNotAPicture;

    // Fetches every file of files on the client, connecting when it is
    // not. Raises what ends a harvest: a connection lost, a full disk,
    // Stop.
    void Fetch(const std::vector<TNzbFile>& files);

private:
    TmsNNTP& client_;
    THarvest& harvest_;

    void FetchFile(const TNzbFile& file, const std::string& name);
    void JoinSegments(const TNzbFile& file, const std::string& name);
    bool FetchSegment(TPostJoiner& joiner, int part, const std::string& messageId);
};

} // namespace lumigrab
