#include "arrivallisting.h"

#include <QFile>

#include <algorithm>
#include <sys/stat.h>
#include <vector>

#include "folderlisting.h"

namespace lumigrab {
namespace {

struct Arrival {
    qint64 modifiedNs;
    QByteArray name; // as the file system spells it: compared byte by byte
};

qint64 ModifiedNs(const QByteArray& path)
{
    struct stat status { };
    // A file gone since the listing sorts first; showing it fails later.
    if (::stat(path.constData(), &status) != 0)
        return 0;
    return qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
}

} // namespace

TArrivalListing::TArrivalListing(const QString& folder)
{
    const QByteArray prefix = QFile::encodeName(folder.endsWith('/') ? folder : folder + '/');
    std::vector<Arrival> arrivals;
    TFolderListing listing(folder);
    QString name;
    while (listing.Next(name)) {
        QByteArray encoded = QFile::encodeName(name);
        arrivals.push_back({ ModifiedNs(prefix + encoded), std::move(encoded) });
    }
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
