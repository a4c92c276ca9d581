#include "folderlisting.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

namespace lumigrab {

TFolderListing::TFolderListing(const QString& folder)
    : listing_(::opendir(QFile::encodeName(folder).constData()))
{
}

TFolderListing::~TFolderListing()
{
    if (listing_)
        ::closedir(listing_);
}

bool TFolderListing::Next(QString& name)
{
    if (!listing_)
        return false;
    // The entry types come with the listing on most file systems, so a
    // large folder costs no call per file.
    while (const dirent* entry = ::readdir(listing_)) {
        // Hidden entries are the harvest's own: its index, partial files.
        if (entry->d_name[0] == '.')
            continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status;
            regular = ::fstatat(::dirfd(listing_), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISREG(status.st_mode);
        }
        if (regular) {
            name = QFile::decodeName(entry->d_name);
            return true;
        }
    }
    ::closedir(listing_);
    listing_ = nullptr;
    return false;
}

} // namespace lumigrab
