// The regular files of a folder, one at a time, in the order the system
// lists them: a large picture folder can be listed a slice at a time while
// the window already shows its first picture.
#pragma once

#include <QString>

#include <dirent.h>

namespace lumigrab {

class TFolderListing {
public:
    // A folder that cannot be opened lists nothing.
    explicit TFolderListing(const QString& folder);
    ~TFolderListing();
    TFolderListing(const TFolderListing&) = delete;
    TFolderListing& operator=(const TFolderListing&) = delete;

    // The name of the next regular file; false at the end. Subfolders,
    // links, pipes and the like are no pictures, and a link's target is no
    // file of this folder. Hidden entries (names beginning with ".") are
    // left out: the harvest keeps its index and unfinished files there.
    bool Next(QString& name);

private:
    DIR* listing_ = nullptr;
};

} // namespace lumigrab
