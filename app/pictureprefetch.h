// Decodes the pictures the viewer will likely show next (the neighbours of
// the one on show) on a worker thread, so that stepping to one of them costs
// no decoding time.
//
// Typical use, on the window's thread:
//     QImage shown = prefetcher.Take(pictures[index]);
//     prefetcher.Prefetch({ pictures[index + 1], pictures[index - 1], pictures[index + 2] });
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/pictureloader.h"

namespace lumigrab {

class TPicturePrefetcher {
public:
    using Loader = std::function<QImage(const QString& path)>;

    // loader decodes one file (LoadPicture unless a test wants to watch; one
    // that throws counts as a failed decode); capacity is the most pictures
    // held, decoded or being decoded.
    explicit TPicturePrefetcher(Loader loader = LoadPicture, int capacity = 3);
    // Drops the queued work and waits for the one decode that may be
    // running; nothing is left behind.
    ~TPicturePrefetcher();
    TPicturePrefetcher(const TPicturePrefetcher&) = delete;
    TPicturePrefetcher& operator=(const TPicturePrefetcher&) = delete;

    // The pictures wanted ready, most wanted first; those beyond capacity
    // are ignored. Held or queued pictures not named are dropped (a decode
    // already running still finishes, and its result is dropped). Returns
    // at once.
    void Prefetch(const QStringList& paths);

    // The picture of path, exactly as loader(path) gives it now (a null
    // image for a file that cannot be decoded). Held and still current:
    // returned at once; being decoded: waits for that decode; otherwise
    // decoded here, on the caller's thread. "Current" means the file's
    // identity, size and times have not changed since its decode began
    // (a replaced or rewritten file is decoded again). The picture
    // stays held (shared, not copied) until a Prefetch no longer names it.
    QImage Take(const QString& path);

private:
    // What tells one version of a file from another without reading it.
    struct FileStamp {
        bool exists = false;
        qint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    struct Decoded {
        FileStamp stamp;
        QImage image;
    };
    enum class State { kQueued, kDecoding, kReady };
    struct Entry {
        QString path;
        quint64 id = 0;
        State state = State::kQueued;
        Decoded decoded;
    };

    static FileStamp StampOf(const QString& path);
    Decoded Decode(const QString& path) const;
    void Run();
    Entry* Find(const QString& path);
    Entry* FindId(quint64 id);
    Entry* FirstQueued();
    // Stores a decode that was running for entry id, if the entry is still
    // wanted; what is not stored is handed back to be freed unlocked.
    Decoded Finish(quint64 id, Decoded decoded);
    QImage DecodeHere(std::unique_lock<std::mutex>& lock, Entry& entry);

    const Loader loader_;
    const int capacity_;
    std::mutex mutex_;
    std::condition_variable workQueued_;
    std::condition_variable decodeFinished_;
    std::vector<Entry> entries_; // most wanted first, at most capacity_
    std::vector<QImage> discarded_; // dropped pictures the worker frees
    quint64 nextId_ = 1;
    bool stopping_ = false;
    std::thread worker_; // last: starts when everything above is ready
};

} // namespace lumigrab
