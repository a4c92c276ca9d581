// The regular files of a folder in the order they arrived: by modification
// time, the oldest first, and by name among files of the same time. The
// folder is read and sorted at once (one directory read, a stat per file,
// no file opened; a large folder is stat'ed by several threads at once);
// Next hands the names out one at a time, as TFolderListing does, and
// decodes each only then.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace lumigrab {

class TArrivalListing {
public:
    // A folder that cannot be opened lists nothing.
    explicit TArrivalListing(const QString& folder);

    // The name of the next regular file; false at the end.
    bool Next(QString& name);

private:
    struct Entry {
        int64_t modifiedNs;
        uint32_t nameAt; // offset into names_, NUL-terminated
        bool typeKnown; // the listing said "regular file"
    };
    void StatAll(int folderFd);

    // Every name as the file system spells it, one after the other.
    std::string names_;
    std::vector<Entry> entries_;
    size_t next_ = 0;
};

} // namespace lumigrab
