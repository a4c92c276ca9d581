#include "thumbnailstrip.h"

#include <QAbstractListModel>
#include <QFileInfo>
#include <QScrollBar>

#include "thumbnailcache.h"

namespace lumigrab {

// The set's paths as rows; a row's picture is its thumbnail once made.
class TThumbnailModel : public QAbstractListModel {
public:
    explicit TThumbnailModel(QObject* parent)
        : QAbstractListModel(parent)
    {
    }

    void SetCache(TThumbnailCache* cache) { cache_ = cache; }
    const QStringList& Paths() const { return paths_; }

    void SetPaths(const QStringList& paths)
    {
        if (paths.size() > paths_.size() && paths.mid(0, paths_.size()) == paths_) {
            beginInsertRows({}, int(paths_.size()), int(paths.size()) - 1);
            paths_ = paths;
            endInsertRows();
        } else if (paths != paths_) {
            beginResetModel();
            paths_ = paths;
            endResetModel();
        }
    }

    // The thumbnail of path arrived.
    void Refresh(const QString& path)
    {
        for (qsizetype row = paths_.indexOf(path); row >= 0; row = paths_.indexOf(path, row + 1))
            emit dataChanged(index(int(row)), index(int(row)), { Qt::DecorationRole });
    }

    int rowCount(const QModelIndex& parent) const override
    {
        return parent.isValid() ? 0 : int(paths_.size());
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= paths_.size())
            return {};
        const QString& path = paths_[index.row()];
        if (role == Qt::DecorationRole && cache_) {
            const QImage thumbnail = cache_->Find(path);
            return thumbnail.isNull() ? QVariant() : QVariant(thumbnail);
        }
        if (role == Qt::ToolTipRole)
            return QFileInfo(path).fileName();
        // Every cell the same, thumbnail or not yet.
        if (role == Qt::SizeHintRole)
            return TThumbnailStrip::kCellSize;
        return {};
    }

private:
    QStringList paths_;
    TThumbnailCache* cache_ = nullptr;
};

TThumbnailStrip::TThumbnailStrip(QWidget* parent)
    : QListView(parent)
    , model_(new TThumbnailModel(this))
{
    setObjectName(QStringLiteral("ThumbnailStrip"));
    cache_ = std::make_unique<TThumbnailCache>(kThumbnailBox, kCacheCapacity, [this](const QString& path) {
        // From the worker thread: the model is refreshed on its own.
        QMetaObject::invokeMethod(
            model_, [model = model_, path] { model->Refresh(path); }, Qt::QueuedConnection);
    });
    model_->SetCache(cache_.get());
    setModel(model_);
    setViewMode(QListView::ListMode);
    setFlow(QListView::LeftToRight);
    setWrapping(false);
    setMovement(QListView::Static);
    setUniformItemSizes(true);
    setIconSize(kThumbnailBox);
    setGridSize(kCellSize);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // The window's keys stay the window's.
    setFocusPolicy(Qt::NoFocus);
    setFixedHeight(gridSize().height() + horizontalScrollBar()->sizeHint().height() + 2 * frameWidth());
    connect(this, &QListView::clicked, this,
        [this](const QModelIndex& index) { emit PictureChosen(index.row()); });
}

TThumbnailStrip::~TThumbnailStrip()
{
    // The worker stops before the model its news goes to.
    cache_.reset();
}

void TThumbnailStrip::Sync(const QStringList& pictures, int current)
{
    model_->SetPaths(pictures);
    if (current < 0 || current >= pictures.size()) {
        clearSelection();
        return;
    }
    const QModelIndex index = model_->index(current);
    if (currentIndex() != index || !selectionModel()->isSelected(index)) {
        setCurrentIndex(index);
        scrollTo(index);
    }
}

int TThumbnailStrip::Count() const
{
    return int(model_->Paths().size());
}

int TThumbnailStrip::Marked() const
{
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.first().row();
}

} // namespace lumigrab
