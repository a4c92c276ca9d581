// What this session moved to the desktop trash, last first, and how to get
// it back: the trash (freedesktop.org layout) keeps each file under
// files/NAME with its old place in info/NAME.trashinfo, as QFile::moveToTrash
// writes them. No widgets.
#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace lumigrab {

class TTrashUndo {
public:
    struct Trashed {
        QString path; // where the file was
        int index = 0; // its place in the picture set
        QString pathInTrash; // where the trash keeps it; empty when unknown
    };

    // path was moved to the trash from place index of the set; pathInTrash
    // is where the trash put it (as QFile::moveToTrash tells), else empty:
    // then the trash is searched for the newest copy of path.
    void Push(const QString& path, int index, const QString& pathInTrash = {});
    bool Empty() const { return trashed_.empty(); }

    // Moves the file trashed last back to its old path and forgets it.
    // nullopt when nothing is left to restore, or when it cannot be
    // restored; why then says what went wrong (empty when the stack was
    // empty). A file that is no longer in the trash is forgotten; one whose
    // old path is taken again stays, to be restored once that is cleared.
    std::optional<Trashed> RestoreLast(QString& why);

private:
    std::vector<Trashed> trashed_;
};

} // namespace lumigrab
