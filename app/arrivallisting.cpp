#include "arrivallisting.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lumigrab {
namespace {

// Below this many files per thread a thread costs more than it saves.
constexpr size_t kFilesPerThread = 512;
constexpr unsigned kMostThreads = 4;
// Marks an entry that turned out to be no regular file.
constexpr int64_t kNotAFile = INT64_MIN;

} // namespace

TArrivalListing::TArrivalListing(const QString& folder)
{
    DIR* listing = ::opendir(QFile::encodeName(folder).constData());
    if (!listing)
        return;
    // The entry types come with the listing on most file systems; the
    // names stay bytes until they are handed out.
    while (const dirent* entry = ::readdir(listing)) {
        // Hidden entries are the harvest's own: its index, partial files.
        if (entry->d_name[0] == '.' || (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN))
            continue;
        entries_.push_back({ 0, uint32_t(names_.size()), entry->d_type == DT_REG });
        names_.append(entry->d_name, std::strlen(entry->d_name) + 1);
    }
    StatAll(::dirfd(listing));
    ::closedir(listing);
    std::erase_if(entries_, [](const Entry& entry) { return entry.modifiedNs == kNotAFile; });
    const char* names = names_.data();
    std::sort(entries_.begin(), entries_.end(), [names](const Entry& a, const Entry& b) {
        return a.modifiedNs != b.modifiedNs ? a.modifiedNs < b.modifiedNs
                                            : std::strcmp(names + a.nameAt, names + b.nameAt) < 0;
    });
}

void TArrivalListing::StatAll(int folderFd)
{
    // Looked up by name in the open folder: no walk along the folder's path
    // per file.
    const auto statRange = [this, folderFd](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            Entry& entry = entries_[i];
            struct stat status { };
            if (::fstatat(folderFd, names_.data() + entry.nameAt, &status, AT_SYMLINK_NOFOLLOW) != 0)
                // A file gone since the listing sorts first; showing it
                // fails later.
                entry.modifiedNs = entry.typeKnown ? 0 : kNotAFile;
            else if (!S_ISREG(status.st_mode))
                entry.modifiedNs = kNotAFile;
            else
                entry.modifiedNs = int64_t(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
        }
    };
    // The stat calls are most of a large folder's listing, and the window
    // waits for it before its first picture: spread over the cores.
    const size_t count = entries_.size();
    const size_t threads = std::clamp<size_t>(
        count / kFilesPerThread, 1, std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads));
    std::vector<std::thread> helpers;
    const size_t share = (count + threads - 1) / threads;
    try {
        for (size_t t = 1; t < threads; ++t)
            helpers.emplace_back(statRange, std::min(t * share, count), std::min((t + 1) * share, count));
    } catch (const std::system_error&) {
        // No thread to be had: this one does the rest.
    }
    statRange(0, std::min(share, count));
    for (std::thread& helper : helpers)
        helper.join();
    const size_t done = (helpers.size() + 1) * share;
    if (done < count)
        statRange(done, count);
}

bool TArrivalListing::Next(QString& name)
{
    if (next_ >= entries_.size())
        return false;
    name = QFile::decodeName(names_.data() + entries_[next_++].nameAt);
    return true;
}

} // namespace lumigrab
