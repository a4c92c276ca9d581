#include "arrivallisting.h"

#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "folderlisting.h"

namespace lumigrab {
namespace {

struct Arrival {
    qint64 modifiedNs;
    QByteArray name; // as the file system spells it: compared byte by byte
};

// Looked up by name in the open folder: no walk along the folder's path
// per file.
qint64 ModifiedNs(int folder, const QByteArray& name)
{
    struct stat status { };
    // A file gone since the listing sorts first; showing it fails later.
    if (::fstatat(folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    return qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
}

} // namespace

TArrivalListing::TArrivalListing(const QString& folder)
{
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return;
    std::vector<Arrival> arrivals;
    TFolderListing listing(folder);
    QString name;
    while (listing.Next(name)) {
        QByteArray encoded = QFile::encodeName(name);
        arrivals.push_back({ ModifiedNs(folderFd, encoded), std::move(encoded) });
    }
    ::close(folderFd);
    std::sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) {
        return a.modifiedNs != b.modifiedNs ? a.modifiedNs < b.modifiedNs : a.name < b.name;
    });
    names_.reserve(qsizetype(arrivals.size()));
    for (const Arrival& arrival : arrivals)
        names_.append(QFile::decodeName(arrival.name));
}

bool TArrivalListing::Next(QString& name)
{
    if (next_ >= names_.size())
        return false;
    name = names_[next_++];
    return true;
}

} // namespace lumigrab
