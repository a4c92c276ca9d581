// The strip of thumbnails along the bottom of the picture pane: it shows
// the picture set's thumbnail model (one cell per picture, in the set's
// order), the picture on show marked; a click chooses a picture.
// Thumbnails are asked for only as their cells come into view and are made
// on a worker thread (TThumbnailModel), so a set of ten thousand pictures
// scrolls without a whole picture decoded.
#pragma once

#include <QListView>

namespace lumigrab {

class TThumbnailModel;

class TThumbnailStrip : public QListView {
    Q_OBJECT

public:
    explicit TThumbnailStrip(QWidget* parent = nullptr);

    // The thumbnails to show; they stay the set's.
    void SetThumbnails(TThumbnailModel* thumbnails);
    // Marks the picture on show (-1 for none). Cheap when nothing changed.
    void Mark(int current);
    int Count() const;
    int Marked() const;

    // As QListView's, but a cell at the right edge shows whole.
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

signals:
    void PictureChosen(int index);
};

} // namespace lumigrab
