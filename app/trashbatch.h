// Moves a flood of files to the desktop trash cheaply. The trash writes an
// info file for every entry it takes, which costs a file creation each (on
// a busy ext4, close to a millisecond): 100,000 files that cannot be shown
// would keep the program busy for minutes. So the first few go to the trash
// one by one, as a user can look through and restore them singly, and the
// rest are renamed into one folder beside them (a rename within the folder
// costs next to nothing) which goes to the trash as one entry when the batch
// is sent. A batch folder that a killed run left is sent at the next start.
// Nothing is ever deleted: what the trash does not take comes back to the
// folder. No widgets.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace lumigrab {

class TTrashBatch {
public:
    // Moves one file or folder to the trash; true when it went.
    using MoveToTrash = std::function<bool(const QString& path)>;
    // The trash entries a user still looks through one by one; beyond, a
    // batch goes as one folder.
    static constexpr int SingleFiles = 500;
    // The hidden folder in the picture folder where the batch gathers.
    static constexpr const char* GatherFolderName = ".lumigrab-untrashed";

    // folder: the picture folder, ending in '/'; singleFiles: how many go
    // one by one before the batch gathers.
    TTrashBatch(QString folder, MoveToTrash move, int singleFiles = SingleFiles);

    // What happened to a file handed to Add.
    enum class TFate { Trashed, Gathered, Stayed };
    // path (in the folder) goes to the trash: at once while few have, else
    // into the batch to follow at Send. Stayed: no trash took it and it is
    // still where it was.
    TFate Add(const QString& path);

    // The gathered files go to the trash as one folder, named for when and
    // why, and the count of single files starts again. Returns the number
    // of files that could not go (they are back in the folder, and why says
    // so); 0 when all went or nothing was gathered.
    int Send(QString& why);
    int Gathered() const { return gathered_; }

private:
    QString GatherFolder() const;
    bool Gather(const QString& path);
    void PutBack(const QString& from);

    QString folder_;
    MoveToTrash move_;
    int singleFiles_;
    int singles_ = 0;
    int gathered_ = 0;
};

} // namespace lumigrab
