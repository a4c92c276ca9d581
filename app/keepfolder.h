// Where the user keeps a picture worth having, out of the picture folder
// that Delete and the harvest work in: setting "Keep Folder", by default
// the desktop's pictures folder's "Lumigrab" (made when first used). Keep
// copies the picture byte for byte under its own name, numbered when the
// name is taken and never written through a link (base/filenames); a
// picture whose bytes are there already, under any name, is not copied
// again. The copy is the keep folder's own: a later delete in the picture
// folder leaves it alone. No widgets.
#pragma once

#include <QString>

namespace lumigrab {

// The desktop's pictures folder with "Lumigrab" inside it; the home folder's
// when the desktop names none.
QString DefaultKeepFolder();

// path with the home folder shown as "~", for status texts.
QString ShownPath(const QString& path);

class TKeepFolder {
public:
    explicit TKeepFolder(QString folder);

    const QString& Folder() const { return folder_; }

    struct TKept {
        // Where the copy is.
        QString path;
        // False: a file of the same bytes was there already (path names it).
        bool copied = false;
    };

    // Raises EInOutError "Cannot keep NAME: REASON" when the folder cannot
    // be made, the picture cannot be read, or the copy cannot be written
    // (EDiskFullError for a full disk, as base/filenames raises it).
    TKept Keep(const QString& picturePath) const;

private:
    QString folder_;

    // A file of the folder with the same bytes as picture, else empty.
    QString SameBytes(const QByteArray& picture) const;
};

} // namespace lumigrab
