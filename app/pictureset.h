// The browser's picture set: the pictures of the picture folder in the order
// they joined, the one on show, and what moves through them (Back, Forward,
// first, last, a number), deleting to the trash and restoring, the folder
// listed at start and the pictures the harvest adds. The neighbours of the
// picture on show are decoded ahead. No widgets: the window shows what the
// signals tell it.
//
// A file that cannot be shown leaves the set when it is stepped onto, for
// the nearest one that can be shown; it goes to the trash rather than away
// for good. A picture too large to show stays, and is shown as a null image.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <exception>
#include <functional>
#include <memory>

class QTimer;

namespace lumigrab {

class TArrivalListing;
class TPicturePrefetcher;
class TThumbnailModel;
class TTrashBatch;
class TTrashUndo;

class TPictureSet : public QObject {
    Q_OBJECT

public:
    explicit TPictureSet(QObject* parent = nullptr);
    ~TPictureSet() override;

    // Replaceable for tests: moving a file or folder to the desktop trash;
    // pathInTrash (when given) learns where it went.
    std::function<bool(const QString& path, QString* pathInTrash)> MoveToTrash;

    // The picture folder, ending in '/'.
    void SetFolder(const QString& folder);
    const QString& Folder() const { return folder_; }

    // Full paths of the pictures, in display order.
    const QStringList& Pictures() const { return pictures_; }
    // Index in Pictures of the picture on show; -1 after an undecodable
    // one was dropped, or when a chosen number named none.
    int Index() const { return index_; }
    // The thumbnails of Pictures, one row each, for the strip to show;
    // they follow the set by the time Changed is emitted.
    TThumbnailModel* Thumbnails() const { return thumbnails_; }
    // The counter's first number: the picture on show counted from 1, 0
    // for an empty set.
    int ShownNumber() const;

    // Each moves to a picture and shows it; at an end of the set Back and
    // Forward move nothing. Changed follows in every case.
    void Back();
    void Forward();
    void First();
    void Last();
    // The picture at index (from the counter's list or the strip).
    void Choose(int index);
    // The picture numbered number (from 1); another number shows nothing.
    void ChooseNumber(int number);
    // Shows the picture at Index() again.
    void Show();

    // Moves the picture on show to the trash and shows the next; where no
    // trash can be had, nothing changes but the report.
    void DeleteCurrent();
    // The picture deleted last comes back from the trash, at its old place.
    void RestoreLast();

    // Lists the picture folder: the first picture shows at once, the rest
    // joins from the event loop a slice at a time.
    void StartListing();
    bool Listing() const { return listing_ != nullptr; }
    // A picture the harvest kept: joins the set after the folder's own;
    // the first of an empty set is shown at once.
    void Add(const QString& path);

signals:
    // The picture at Index() is on show. Null when it is too large to show
    // (path names it) or when no picture is left (path is empty).
    void Shown(const QImage& picture, const QString& path);
    // The pictures or the one on show changed: the counter and the
    // thumbnails follow.
    void Changed();
    // What happened to a file, for the status bar.
    void Report(const QString& text);
    // Listing the folder from the event loop failed; the listing ends.
    void Failed(std::exception_ptr error);

private:
    // Which way a step looks past a picture that cannot be shown.
    enum class TStep { Forward, Back };
    void Show(TStep step);
    // The picture at index_, else the nearest one that decodes the way of
    // step (at an end of the set, the other way); the undecodable ones
    // leave the set. Null when none is left.
    QImage TakeDecodablePicture(TStep step);
    void DropUndecodable(const QString& path);
    void PrefetchNeighbours();
    // Lists a slice of the folder (for the slice's time at most), and the
    // next from the event loop until the folder ends.
    enum class TSlice { Full, UntilAPictureShows };
    void ListSlice(TSlice kind);
    void ListNextSlice() noexcept;
    // The rest of the folder at once; a path the harvest just wrote is not
    // listed, as it joins the set through Add.
    void FinishListing(const QString& except = {});
    void ListEntry(const QString& path);
    void EndListing();
    void SendTrashBatch();
    // The only ways pictures leave or join the set other than at its end:
    // the thumbnails hold the set's first rows and follow at once.
    void RemovePicture(int index);
    void InsertPicture(int index, const QString& path);
    void NotifyChanged();

    QString folder_;
    QStringList pictures_;
    int index_ = 0;
    std::unique_ptr<TPicturePrefetcher> prefetcher_;
    std::unique_ptr<TTrashUndo> trashUndo_;
    // Where the files that cannot be shown go: a flood of them as one.
    std::unique_ptr<TTrashBatch> trashBatch_;
    std::unique_ptr<TArrivalListing> listing_;
    TThumbnailModel* thumbnails_;
    QTimer* listingTimer_;
};

} // namespace lumigrab
