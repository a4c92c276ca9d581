#include "trashundo.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>

#include <unistd.h>

#include <utility>

namespace lumigrab {
namespace {

const QLatin1String kInfoSuffix(".trashinfo");

// The trash folders a file at path may have gone to: the home trash, and
// the trash at the top of the file's own file system (where a file that
// cannot be moved to the home trash goes).
QStringList TrashFoldersFor(const QString& path)
{
    QStringList folders { QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QLatin1String("/Trash") };
    const QString top = QStorageInfo(QFileInfo(path).absolutePath()).rootPath();
    if (!top.isEmpty()) {
        const QString uid = QString::number(::getuid());
        const QString root = top.endsWith('/') ? top : top + '/';
        folders << root + QLatin1String(".Trash/") + uid << root + QLatin1String(".Trash-") + uid;
    }
    return folders;
}

struct TrashInfo {
    // What Path may mean: the trash format has it percent-encoded, but Qt
    // 6.4 writes it as it is, so a name holding "%" reads both ways.
    QStringList originalPaths;
    QDateTime deleted;
};

// The [Trash Info] group of an info file; Path may be relative to the top
// of the file system that holds the trash.
std::optional<TrashInfo> ReadTrashInfo(const QString& infoPath, const QString& trashFolder)
{
    QFile file(infoPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    TrashInfo info;
    bool inGroup = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(64 * 1024).trimmed();
        if (line.startsWith('['))
            inGroup = line == "[Trash Info]";
        else if (inGroup && line.startsWith("Path="))
            info.originalPaths
                = QStringList { QUrl::fromPercentEncoding(line.mid(5)), QString::fromUtf8(line.mid(5)) };
        else if (inGroup && line.startsWith("DeletionDate="))
            info.deleted = QDateTime::fromString(QString::fromLatin1(line.mid(13)), Qt::ISODate);
    }
    if (info.originalPaths.isEmpty())
        return std::nullopt;
    const QDir top(QStorageInfo(trashFolder).rootPath());
    for (QString& path : info.originalPaths)
        path = top.filePath(path); // an absolute path stays as it is
    return info;
}

// The info file of the newest trashed copy of path; empty when there is
// none.
QString FindNewestInfo(const QString& path)
{
    const QString wanted = QFileInfo(path).absoluteFilePath();
    QString newest;
    QDateTime newestTime;
    for (const QString& trash : TrashFoldersFor(path)) {
        const QDir infoFolder(trash + QLatin1String("/info"));
        for (const QFileInfo& entry :
            infoFolder.entryInfoList({ QLatin1String("*.trashinfo") }, QDir::Files)) {
            const std::optional<TrashInfo> info = ReadTrashInfo(entry.filePath(), trash);
            if (!info || !info->originalPaths.contains(wanted))
                continue;
            // Dates are to the second: a later info file breaks a tie.
            const QDateTime when = std::max(info->deleted, entry.lastModified());
            if (newest.isEmpty() || when >= newestTime) {
                newest = entry.filePath();
                newestTime = when;
            }
        }
    }
    return newest;
}

// info/NAME.trashinfo keeps the file files/NAME.
QString TrashedFileOf(const QString& infoPath)
{
    const QFileInfo info(infoPath);
    const QString name = info.fileName().chopped(kInfoSuffix.size());
    return info.dir().filePath(QLatin1String("../files/") + name);
}

QString InfoOfTrashedFile(const QString& trashedFile)
{
    const QFileInfo file(trashedFile);
    return QDir::cleanPath(file.dir().filePath(QLatin1String("../info/") + file.fileName() + kInfoSuffix));
}

// Where the trash keeps the copy of last: the place it told when the file
// went, else (a trash that does not tell) the newest copy of its path.
// Names deleted twice within a second cannot be told apart by their dates.
std::pair<QString, QString> TrashedCopyOf(const TTrashUndo::Trashed& last)
{
    if (!last.pathInTrash.isEmpty())
        return { InfoOfTrashedFile(last.pathInTrash), last.pathInTrash };
    const QString infoPath = FindNewestInfo(last.path);
    return { infoPath, infoPath.isEmpty() ? QString() : TrashedFileOf(infoPath) };
}

} // namespace

void TTrashUndo::Push(const QString& path, int index, const QString& pathInTrash)
{
    trashed_.push_back({ path, index, pathInTrash });
}

std::optional<TTrashUndo::Trashed> TTrashUndo::RestoreLast(QString& why)
{
    why.clear();
    if (trashed_.empty())
        return std::nullopt;
    const Trashed last = trashed_.back();
    const QString name = QFileInfo(last.path).fileName();
    const auto [infoPath, trashedFile] = TrashedCopyOf(last);
    if (infoPath.isEmpty() || !QFileInfo::exists(trashedFile)) {
        trashed_.pop_back();
        why = QStringLiteral("Cannot restore %1: it is no longer in the trash").arg(name);
        return std::nullopt;
    }
    // Never over a file that took the old name since.
    if (QFileInfo::exists(last.path) || QFileInfo(last.path).isSymLink()) {
        why = QStringLiteral("Cannot restore %1: another file of that name is in its place").arg(name);
        return std::nullopt;
    }
    if (!QFile::rename(trashedFile, last.path)) {
        why = QStringLiteral("Cannot restore %1: it cannot be moved out of the trash").arg(name);
        return std::nullopt;
    }
    QFile::remove(infoPath);
    trashed_.pop_back();
    return last;
}

} // namespace lumigrab
