// The thumbnails of the picture set as a list model: one row per picture,
// in the set's order; a row's decoration is the picture's thumbnail once
// the worker of its cache has made it (asked for only when a view shows the
// row). The set tells it of every change; the strip only shows it. No
// widgets.
#pragma once

#include <QAbstractListModel>
#include <QSize>
#include <QStringList>

#include <memory>

namespace lumigrab {

class TThumbnailCache;

class TThumbnailModel : public QAbstractListModel {
    Q_OBJECT

public:
    // The box a thumbnail fits in, a row's cell, and the most thumbnails
    // held.
    static constexpr QSize kThumbnailBox { 96, 72 };
    static constexpr QSize kCellSize { 104, 80 };
    static constexpr int kCacheCapacity = 600;

    explicit TThumbnailModel(QObject* parent = nullptr);
    ~TThumbnailModel() override;

    const QStringList& Paths() const { return paths_; }
    TThumbnailCache& Cache() const { return *cache_; }
    // paths join as rows from row on.
    void Insert(int row, const QStringList& paths);
    void Remove(int row);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    // The thumbnail of path arrived.
    void Refresh(const QString& path);

    QStringList paths_;
    std::unique_ptr<TThumbnailCache> cache_;
};

} // namespace lumigrab
