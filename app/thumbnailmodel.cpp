#include "thumbnailmodel.h"

#include <QFileInfo>
#include <QImage>

#include "app/thumbnailcache.h"

namespace lumigrab {

TThumbnailModel::TThumbnailModel(QObject* parent)
    : QAbstractListModel(parent)
{
    cache_ = std::make_unique<TThumbnailCache>(kThumbnailBox, kCacheCapacity, [this](const QString& path) {
        // From the worker thread: the rows are refreshed on the model's.
        QMetaObject::invokeMethod(
            this, [this, path] { Refresh(path); }, Qt::QueuedConnection);
    });
}

TThumbnailModel::~TThumbnailModel()
{
    // The worker stops before the model its news goes to.
    cache_.reset();
}

void TThumbnailModel::Insert(int row, const QStringList& paths)
{
    if (paths.isEmpty())
        return;
    beginInsertRows({}, row, row + int(paths.size()) - 1);
    for (qsizetype at = 0; at < paths.size(); ++at)
        paths_.insert(row + at, paths[at]);
    endInsertRows();
}

void TThumbnailModel::Remove(int row)
{
    beginRemoveRows({}, row, row);
    paths_.removeAt(row);
    endRemoveRows();
}

void TThumbnailModel::Refresh(const QString& path)
{
    for (qsizetype row = paths_.indexOf(path); row >= 0; row = paths_.indexOf(path, row + 1))
        emit dataChanged(index(int(row)), index(int(row)), { Qt::DecorationRole });
}

int TThumbnailModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(paths_.size());
}

QVariant TThumbnailModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= paths_.size())
        return {};
    const QString& path = paths_[index.row()];
    if (role == Qt::DecorationRole) {
        const QImage thumbnail = cache_->Find(path);
        return thumbnail.isNull() ? QVariant() : QVariant(thumbnail);
    }
    if (role == Qt::ToolTipRole)
        return QFileInfo(path).fileName();
    // Every cell the same, thumbnail or not yet.
    if (role == Qt::SizeHintRole)
        return kCellSize;
    return {};
}

} // namespace lumigrab
