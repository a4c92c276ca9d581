#include "pictureset.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

#include "app/arrivallisting.h"
#include "app/pictureloader.h"
#include "app/pictureprefetch.h"
#include "app/thumbnailmodel.h"
#include "app/trashbatch.h"
#include "app/trashundo.h"

namespace lumigrab {
namespace {

// The picture on show and its neighbours: stepping back and forth never
// decodes the one just left again.
constexpr int PrefetchedPictures = 4;

// How long one slice of the folder listing may keep the event loop: well
// under a frame. An entry costs anything from a folder read to a decode
// and a move to the trash, so the clock is read after each.
constexpr int ListingSliceMs = 4;

QString FileNameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}

bool MoveFileToTrash(const QString& path, QString* pathInTrash)
{
    // The trash lives in the user's data folder, which a fresh account may
    // not have yet.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    return QFile::moveToTrash(path, pathInTrash);
}

} // namespace

TPictureSet::TPictureSet(QObject* parent)
    : QObject(parent)
    , MoveToTrash(MoveFileToTrash)
    , prefetcher_(std::make_unique<TPicturePrefetcher>(LoadPicture, PrefetchedPictures))
    , trashUndo_(std::make_unique<TTrashUndo>())
    , thumbnails_(new TThumbnailModel(this))
    , listingTimer_(new QTimer(this))
{
    listingTimer_->setSingleShot(true);
    connect(listingTimer_, &QTimer::timeout, this, &TPictureSet::ListNextSlice);
}

// Files gathered for the trash go there now, not at the next start.
TPictureSet::~TPictureSet()
{
    if (trashBatch_) {
        QString why;
        trashBatch_->Send(why);
    }
}

void TPictureSet::SetFolder(const QString& folder)
{
    SendTrashBatch();
    folder_ = folder;
    trashBatch_ = std::make_unique<TTrashBatch>(
        folder_, [this](const QString& path) { return MoveToTrash(path, nullptr); });
}

int TPictureSet::ShownNumber() const
{
    return pictures_.isEmpty() ? 0 : index_ + 1;
}

void TPictureSet::Back()
{
    if (index_ > 0) {
        --index_;
        Show(TStep::Back);
    }
    NotifyChanged();
}

void TPictureSet::Forward()
{
    if (index_ < pictures_.size() - 1) {
        ++index_;
        Show(TStep::Forward);
    }
    NotifyChanged();
}

void TPictureSet::First()
{
    if (pictures_.isEmpty())
        return;
    index_ = 0;
    Show(TStep::Forward);
    NotifyChanged();
}

void TPictureSet::Last()
{
    if (pictures_.isEmpty())
        return;
    index_ = int(pictures_.size()) - 1;
    Show(TStep::Forward);
    NotifyChanged();
}

void TPictureSet::Choose(int index)
{
    index_ = index;
    Show(TStep::Forward);
    NotifyChanged();
}

void TPictureSet::ChooseNumber(int number)
{
    if (number >= 1 && number <= pictures_.size()) {
        index_ = number - 1;
        Show(TStep::Forward);
    }
    NotifyChanged();
}

void TPictureSet::Show()
{
    Show(TStep::Forward);
    NotifyChanged();
}

void TPictureSet::Show(TStep step)
{
    if (index_ < 0 || index_ >= pictures_.size())
        return;
    const QImage picture = TakeDecodablePicture(step);
    const bool onShow = index_ >= 0 && index_ < pictures_.size();
    emit Shown(picture, onShow ? pictures_[index_] : QString());
    PrefetchNeighbours();
}

// The pane and the counter name the same picture: an undecodable one gives
// way to its neighbour.
QImage TPictureSet::TakeDecodablePicture(TStep step)
{
    while (index_ >= 0 && index_ < pictures_.size()) {
        const QString path = pictures_[index_];
        QImage picture = prefetcher_->Take(path);
        if (!picture.isNull() || PictureTooLarge(path))
            return picture;
        DropUndecodable(path);
        RemovePicture(index_);
        // Going forward, the next one has moved into its place.
        if (step == TStep::Back && index_ > 0)
            --index_;
        if (index_ >= pictures_.size())
            index_ = int(pictures_.size()) - 1;
    }
    return QImage();
}

// It may be a picture of a kind the viewer does not know: the trash keeps it.
void TPictureSet::DropUndecodable(const QString& path)
{
    const QString name = FileNameOf(path);
    if (!QFileInfo::exists(path))
        emit Report(QStringLiteral("Cannot show %1: the file is gone").arg(name));
    else if (trashBatch_ ? trashBatch_->Add(path) != TTrashBatch::TFate::Stayed : MoveToTrash(path, nullptr))
        emit Report(QStringLiteral("Cannot show %1: moved it to the trash").arg(name));
    else
        emit Report(QStringLiteral("Cannot show %1: no trash to move it to, it stays in %2")
                        .arg(name, QDir::toNativeSeparators(folder_)));
}

void TPictureSet::PrefetchNeighbours()
{
    QStringList wanted;
    for (const int offset : { 0, 1, -1, 2 }) {
        const int index = index_ + offset;
        if (index >= 0 && index < pictures_.size())
            wanted.append(pictures_[index]);
    }
    prefetcher_->Prefetch(wanted);
}

void TPictureSet::DeleteCurrent()
{
    if (index_ < 0 || index_ >= pictures_.size())
        return;
    const QString path = pictures_[index_];
    const QString name = FileNameOf(path);
    if (!QFileInfo::exists(path)) {
        emit Report(QStringLiteral("%1 was gone already").arg(name));
    } else if (QString pathInTrash; MoveToTrash(path, &pathInTrash)) {
        trashUndo_->Push(path, index_, pathInTrash);
        emit Report(QStringLiteral("Moved %1 to the trash").arg(name));
    } else {
        emit Report(QStringLiteral("Cannot move %1 to the trash: nothing was deleted").arg(name));
        return;
    }
    RemovePicture(index_);
    index_ = qMax(0, qMin(index_, int(pictures_.size()) - 1));
    if (pictures_.isEmpty())
        emit Shown(QImage(), QString());
    else
        Show(TStep::Forward);
    NotifyChanged();
}

void TPictureSet::RestoreLast()
{
    QString why;
    const std::optional<TTrashUndo::Trashed> restored = trashUndo_->RestoreLast(why);
    if (!restored) {
        if (!why.isEmpty())
            emit Report(why);
        return;
    }
    emit Report(QStringLiteral("Restored %1 from the trash").arg(FileNameOf(restored->path)));
    index_ = qBound(0, restored->index, int(pictures_.size()));
    InsertPicture(index_, restored->path);
    Show(TStep::Forward);
    NotifyChanged();
}

void TPictureSet::StartListing()
{
    EndListing();
    listing_ = std::make_unique<TArrivalListing>(folder_);
    // A first picture usually shows with the window; whatever the folder
    // holds (thousands of files that cannot be shown, each moved to the
    // trash), the rest runs from the event loop.
    ListSlice(TSlice::UntilAPictureShows);
    // A set still empty waits at its first place.
    index_ = 0;
}

void TPictureSet::ListNextSlice() noexcept
{
    try {
        ListSlice(TSlice::Full);
    } catch (...) {
        EndListing();
        emit Failed(std::current_exception());
    }
}

void TPictureSet::ListSlice(TSlice kind)
{
    if (!listing_)
        return;
    const qsizetype before = pictures_.size();
    QElapsedTimer slice;
    slice.start();
    QString name;
    bool more = true;
    while (more && slice.elapsed() < ListingSliceMs
        && !(kind == TSlice::UntilAPictureShows && !pictures_.isEmpty())) {
        if ((more = listing_->Next(name)))
            ListEntry(folder_ + name);
    }
    if (more)
        listingTimer_->start(0);
    else
        EndListing();
    NotifyChanged();
    if (pictures_.size() != before)
        PrefetchNeighbours();
}

// Listed only: files that cannot be shown are found when they are, as a
// search for one that can, through thousands, would hold the window.
void TPictureSet::FinishListing(const QString& except)
{
    if (!listing_)
        return;
    QString name;
    while (listing_->Next(name)) {
        const QString path = folder_ + name;
        if (path != except)
            pictures_.append(path);
    }
    EndListing();
}

void TPictureSet::ListEntry(const QString& path)
{
    pictures_.append(path);
    if (pictures_.size() == 1) {
        index_ = 0;
        Show(TStep::Forward);
    }
}

void TPictureSet::EndListing()
{
    listing_.reset();
    listingTimer_->stop();
    // Also what a run that was killed left gathered, at the next start.
    SendTrashBatch();
}

void TPictureSet::SendTrashBatch()
{
    QString why;
    if (trashBatch_ && trashBatch_->Send(why) > 0)
        emit Report(why);
}

void TPictureSet::RemovePicture(int index)
{
    pictures_.removeAt(index);
    if (index < thumbnails_->rowCount())
        thumbnails_->Remove(index);
}

void TPictureSet::InsertPicture(int index, const QString& path)
{
    pictures_.insert(index, path);
    if (index <= thumbnails_->rowCount())
        thumbnails_->Insert(index, { path });
}

// Appended pictures join the thumbnails together, once a slice of the
// listing or a step is done, not one row at a time.
void TPictureSet::NotifyChanged()
{
    const int rows = thumbnails_->rowCount();
    if (rows < pictures_.size())
        thumbnails_->Insert(rows, pictures_.sliced(rows));
    emit Changed();
}

void TPictureSet::Add(const QString& path)
{
    // A set with pictures has one on show; an empty one has none, whatever
    // the index says after an undecodable picture.
    const bool nothingShown = pictures_.isEmpty();
    // The folder's own pictures come first, and the file just written may
    // already be in the listing.
    FinishListing(path);
    pictures_.append(path);
    if (nothingShown) {
        // The folder's files still unseen wait for the user to step back.
        index_ = int(pictures_.size()) - 1;
        Show(TStep::Forward);
    } else {
        PrefetchNeighbours();
    }
    NotifyChanged();
}

} // namespace lumigrab
