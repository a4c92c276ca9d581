#include "thumbnailstrip.h"

#include <QScrollBar>

#include <algorithm>

#include "thumbnailmodel.h"

namespace lumigrab {

TThumbnailStrip::TThumbnailStrip(QWidget* parent)
    : QListView(parent)
{
    setObjectName(QStringLiteral("ThumbnailStrip"));
    setViewMode(QListView::ListMode);
    setFlow(QListView::LeftToRight);
    setWrapping(false);
    setMovement(QListView::Static);
    setUniformItemSizes(true);
    setIconSize(TThumbnailModel::kThumbnailBox);
    setGridSize(TThumbnailModel::kCellSize);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // The window's keys stay the window's.
    setFocusPolicy(Qt::NoFocus);
    setFixedHeight(gridSize().height() + horizontalScrollBar()->sizeHint().height() + 2 * frameWidth());
    connect(this, &QListView::clicked, this,
        [this](const QModelIndex& index) { emit PictureChosen(index.row()); });
}

void TThumbnailStrip::SetThumbnails(TThumbnailModel* thumbnails)
{
    setModel(thumbnails);
}

void TThumbnailStrip::Mark(int current)
{
    if (!model() || current < 0 || current >= model()->rowCount()) {
        clearSelection();
        return;
    }
    const QModelIndex index = model()->index(current, 0);
    if (currentIndex() != index || !selectionModel()->isSelected(index)) {
        setCurrentIndex(index);
        scrollTo(index);
    }
}

void TThumbnailStrip::scrollTo(const QModelIndex& index, ScrollHint hint)
{
    QListView::scrollTo(index, hint);
    // QListView brings a cell past the right edge in only up to its last
    // pixel column but one. The left edge must stay in view where the cell
    // is wider than the strip.
    const QRect cell = visualRect(index);
    const int cut = std::min(cell.right() - viewport()->rect().right(), cell.left());
    if (cut > 0)
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() + cut);
}

int TThumbnailStrip::Count() const
{
    return model() ? model()->rowCount() : 0;
}

int TThumbnailStrip::Marked() const
{
    const QModelIndexList selected
        = selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList();
    return selected.isEmpty() ? -1 : selected.first().row();
}

} // namespace lumigrab
