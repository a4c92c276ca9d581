// Thumbnails of picture files, made on a worker thread and held in a
// bounded cache, most recently used kept. A JPEG is decoded straight at
// thumbnail size (QImageReader::setScaledSize: its decoder skips the detail
// it does not need), so thousands of photos cost no whole decode each.
// No widgets.
#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QImage>
#include <QSize>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace lumigrab {

// The picture in the file at path scaled to fit box, aspect kept, upright
// as its camera orientation says; a null image when it cannot be read or
// is larger than the program's pixel limit even for a thumbnail.
QImage MakeThumbnail(const QString& path, QSize box);
// The same for a file's bytes in memory: at most box in size, or null.
QImage DecodeThumbnail(QByteArrayView bytes, QSize box);

class TThumbnailCache {
public:
    // Called on the worker thread when the thumbnail of path is ready (a
    // null image for a file that gives none).
    using Ready = std::function<void(const QString& path)>;

    // capacity: the most thumbnails held; queued requests beyond it are
    // dropped, the oldest first.
    TThumbnailCache(QSize box, int capacity, Ready ready);
    ~TThumbnailCache();
    TThumbnailCache(const TThumbnailCache&) = delete;
    TThumbnailCache& operator=(const TThumbnailCache&) = delete;

    // The thumbnail of path if held; otherwise a null image, and the
    // thumbnail is made (the latest requests first). made tells a held
    // null image (no thumbnail to be had) from one still to come.
    QImage Find(const QString& path, bool* made = nullptr);
    // Forgets path (its file changed or left the set).
    void Forget(const QString& path);
    int Held() const;

private:
    struct Entry {
        QImage image;
        std::list<QString>::iterator use;
    };
    void Run();
    void Store(const QString& path, QImage image);

    const QSize box_;
    const int capacity_;
    const Ready ready_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    QHash<QString, Entry> held_;
    std::list<QString> uses_; // most recent first
    std::deque<QString> requests_; // newest at the back
    bool stopping_ = false;
    std::thread worker_; // last: starts when everything above is ready
};

} // namespace lumigrab
