// The strip of thumbnails along the bottom of the picture pane: one per
// picture of the set, in the set's order, the picture on show marked; a
// click chooses a picture. Thumbnails are asked for only as their cells
// come into view and are made on a worker thread (TThumbnailCache), so a
// set of ten thousand pictures scrolls without a whole picture decoded.
#pragma once

#include <QListView>
#include <QStringList>

#include <memory>

namespace lumigrab {

class TThumbnailCache;
class TThumbnailModel;

class TThumbnailStrip : public QListView {
    Q_OBJECT

public:
    // The box a thumbnail fits in, and the most thumbnails held.
    static constexpr QSize kThumbnailBox { 96, 72 };
    static constexpr QSize kCellSize { 104, 80 };
    static constexpr int kCacheCapacity = 600;

    explicit TThumbnailStrip(QWidget* parent = nullptr);
    ~TThumbnailStrip() override;

    // The set and the index of the picture on show (-1 for none). Cheap
    // when nothing changed; pictures added at the end cost only their
    // cells.
    void Sync(const QStringList& pictures, int current);
    int Count() const;
    int Marked() const;
    TThumbnailCache& Cache() const { return *cache_; }

signals:
    void PictureChosen(int index);

private:
    TThumbnailModel* model_;
    std::unique_ptr<TThumbnailCache> cache_;
};

} // namespace lumigrab
