// The regular files of a folder in the order they arrived: by modification
// time, the oldest first, and by name among files of the same time. The
// folder is read and sorted at once (a stat per file, no file opened);
// Next hands the names out one at a time, as TFolderListing does.
#pragma once

#include <QString>
#include <QStringList>

namespace lumigrab {

class TArrivalListing {
public:
    // A folder that cannot be opened lists nothing.
    explicit TArrivalListing(const QString& folder);

    // The name of the next regular file; false at the end.
    bool Next(QString& name);

private:
    QStringList names_;
    qsizetype next_ = 0;
};

} // namespace lumigrab
