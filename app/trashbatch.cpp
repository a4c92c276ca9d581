#include "trashbatch.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

namespace lumigrab {
namespace {

// What the batch is called in the trash: visible, and telling what it holds.
QString BatchFolderName(int files)
{
    return QStringLiteral("%1 files Lumigrab could not show, %2")
        .arg(files)
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh.mm.ss")));
}

// A name in folder that nothing has yet: base, else "base (2)", "base (3)"...
QString FreePath(const QString& folder, const QString& base)
{
    QString path = folder + base;
    for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = folder + QStringLiteral("%1 (%2)").arg(base).arg(n);
    return path;
}

} // namespace

TTrashBatch::TTrashBatch(QString folder, MoveToTrash move, int singleFiles)
    : folder_(std::move(folder))
    , move_(std::move(move))
    , singleFiles_(singleFiles)
{
}

QString TTrashBatch::GatherFolder() const
{
    return folder_ + QLatin1String(GatherFolderName);
}

TTrashBatch::TFate TTrashBatch::Add(const QString& path)
{
    if (singles_ < singleFiles_) {
        ++singles_;
        return move_(path) ? TFate::Trashed : TFate::Stayed;
    }
    if (Gather(path)) {
        ++gathered_;
        return TFate::Gathered;
    }
    return move_(path) ? TFate::Trashed : TFate::Stayed;
}

// Into the hidden folder under the same name: the files of one picture
// folder have distinct names, and a name already gathered (by a run that
// was killed, for a file written again since) stays put.
// QFile::rename never replaces a file.
bool TTrashBatch::Gather(const QString& path)
{
    const QString gather = GatherFolder();
    if (gathered_ == 0) {
        const QFileInfo folder(gather);
        if (folder.isSymLink() || (!folder.isDir() && !QDir().mkdir(gather)))
            return false;
    }
    return QFile::rename(path, gather + QLatin1Char('/') + QFileInfo(path).fileName());
}

int TTrashBatch::Send(QString& why)
{
    why.clear();
    singles_ = 0;
    gathered_ = 0;
    const QString gather = GatherFolder();
    const QFileInfo folder(gather);
    if (folder.isSymLink() || !folder.isDir())
        return 0;
    const qsizetype files = QDir(gather).entryList(QDir::Files | QDir::Hidden | QDir::System).size();
    if (files == 0) {
        QDir().rmdir(gather);
        return 0;
    }
    const QString named = FreePath(folder_, BatchFolderName(int(files)));
    if (QFile::rename(gather, named) && move_(named))
        return 0;
    PutBack(QFileInfo::exists(named) ? named : gather);
    why = QStringLiteral("No trash to move %1 files that cannot be shown to, they stay in %2")
              .arg(files)
              .arg(QDir::toNativeSeparators(folder_));
    return int(files);
}

// Back into the picture folder, each under its own name where that is free;
// a file whose name was taken meanwhile stays in the batch folder (which
// then stays too, to be sent again at the next start).
void TTrashBatch::PutBack(const QString& from)
{
    QDir batch(from);
    for (const QString& name : batch.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QString home = folder_ + name;
        if (!QFileInfo::exists(home) && !QFileInfo(home).isSymLink())
            QFile::rename(batch.filePath(name), home);
    }
    if (!QDir().rmdir(from) && from != GatherFolder())
        QFile::rename(from, GatherFolder());
}

} // namespace lumigrab
