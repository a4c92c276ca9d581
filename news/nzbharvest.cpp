#include "news/nzbharvest.h"

#include <filesystem>
#include <system_error>

#include "base/filenames.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/partmarker.h"
#include "news/postharvest.h"
#include "news/postjoin.h"

namespace lumigrab {

namespace {

// The name an NZB's subject gives its file: the quoted one, as posters
// write them, else the subject without its part marker.
std::string FileNameOf(const std::string& subject)
{
    const std::optional<TPartMarker> marker = ReadPartMarker(subject);
    return PostDisplayName(marker ? std::string_view(marker->subject) : std::string_view(subject));
}

} // namespace

TNzbHarvest::TNzbHarvest(TmsNNTP& client, THarvest& harvest)
    : client_(client)
    , harvest_(harvest)
{
}

void TNzbHarvest::Fetch(const std::vector<TNzbFile>& files)
{
    for (const TNzbFile& file : files) {
        const std::string name = FileNameOf(file.subject);
        if (!HasPictureExtension(name)) {
            if (OnNotAPicture)
                OnNotAPicture(name);
            continue;
        }
        if (file.segments.empty() || harvest_.Index().Contains(file.segments.front().messageId))
            continue;
        if (!client_.Connected())
            client_.Connect();
        FetchFile(file, name);
    }
}

void TNzbHarvest::FetchFile(const TNzbFile& file, const std::string& name)
{
    if (file.segments.size() == 1) {
        harvest_.HarvestArticleById(file.segments.front().messageId, file.subject);
        return;
    }
    JoinSegments(file, name);
}

// Segments are numbered from 1 without gaps in a whole file; a number
// missing from the NZB is a part missing, as one the server lost is.
void TNzbHarvest::JoinSegments(const TNzbFile& file, const std::string& name)
{
    const std::string folder = JoinPath(harvest_.Folder(), PartialFolderName);
    std::error_code unused;
    std::filesystem::create_directory(folder, unused);
    TPostJoiner joiner(JoinPath(folder, "nzb.part"), harvest_.MaxPostSize);
    std::vector<int> missing;
    int part = 0;
    try {
        for (const TNzbSegment& segment : file.segments) {
            while (++part < segment.number)
                missing.push_back(part);
            if (!FetchSegment(joiner, part, segment.messageId))
                missing.push_back(part);
        }
    } catch (const EPostJoinError& error) {
        if (harvest_.OnArticleSkipped)
            harvest_.OnArticleSkipped(file.subject, "Cannot be joined: " + error.Message());
        return;
    }
    if (!missing.empty()) {
        std::string parts;
        for (const int number : missing)
            parts += (parts.empty() ? "" : ", ") + std::to_string(number);
        if (harvest_.OnPostIncomplete)
            harvest_.OnPostIncomplete("Incomplete: " + name + ", parts " + parts + " of "
                + std::to_string(part) + " missing");
        return;
    }
    joiner.Finish();
    const std::string kept = harvest_.KeepJoined(joiner);
    const std::string& messageId = file.segments.front().messageId;
    if (!kept.empty())
        harvest_.Index().RecordAbout(
            messageId, { file.groups.empty() ? std::string() : file.groups.front(), file.subject, file.poster, {} });
    harvest_.Index().Record(messageId, kept.empty() ? std::vector<std::string>() : std::vector<std::string> { kept });
}

// False when neither the server nor a fill server has it.
bool TNzbHarvest::FetchSegment(TPostJoiner& joiner, int part, const std::string& messageId)
{
    {
        const TPartReader reader(client_, joiner, part);
        try {
            client_.ReadArticle(messageId);
            reader.RaiseFailure();
            return true;
        } catch (const ENoSuchArticle&) {
            if (!client_.Connected())
                throw;
        }
    }
    return FetchPartFromFillServers(harvest_, { messageId }, part, joiner);
}

} // namespace lumigrab
