#include "keepfolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <utility>

#include "app/picturelimits.h"
#include "base/classes.h"
#include "base/filenames.h"

namespace lumigrab {

namespace {

[[noreturn]] void CannotKeep(const QString& picturePath, const QString& reason)
{
    throw EInOutError(
        QStringLiteral("Cannot keep %1: %2").arg(QFileInfo(picturePath).fileName(), reason).toStdString());
}

QByteArray ReadPicture(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        CannotKeep(path, file.errorString());
    if (file.size() > kMaxPictureFileBytes)
        CannotKeep(path, QStringLiteral("the file is larger than any picture shown"));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        CannotKeep(path, file.errorString());
    return bytes;
}

} // namespace

QString DefaultKeepFolder()
{
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::homePath();
    return QDir(pictures).filePath(QStringLiteral("Lumigrab"));
}

QString ShownPath(const QString& path)
{
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != QLatin1String("/") && path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

TKeepFolder::TKeepFolder(QString folder)
    : folder_(std::move(folder))
{
}

TKeepFolder::TKept TKeepFolder::Keep(const QString& picturePath) const
{
    const QByteArray bytes = ReadPicture(picturePath);
    if (!QDir().mkpath(folder_))
        CannotKeep(picturePath, QStringLiteral("the folder %1 cannot be made").arg(ShownPath(folder_)));
    if (const QString same = SameBytes(bytes); !same.isEmpty())
        return { same, false };
    const std::string path = SaveNewFile(std::string(QFile::encodeName(folder_)),
        std::string(QFile::encodeName(QFileInfo(picturePath).fileName())),
        std::string_view(bytes.constData(), size_t(bytes.size())));
    return { QFile::decodeName(path.c_str()), true };
}

// Only files of the same length are read and hashed.
QString TKeepFolder::SameBytes(const QByteArray& picture) const
{
    const QByteArray digest = QCryptographicHash::hash(picture, QCryptographicHash::Sha256);
    const QFileInfoList files = QDir(folder_).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& file : files) {
        if (file.size() != picture.size())
            continue;
        QFile candidate(file.filePath());
        if (!candidate.open(QIODevice::ReadOnly))
            continue;
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (hash.addData(&candidate) && hash.result() == digest)
            return file.filePath();
    }
    return {};
}

} // namespace lumigrab
