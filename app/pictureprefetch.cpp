#include "app/pictureprefetch.h"

#include <QFile>

#include <algorithm>
#include <sys/stat.h>

namespace lumigrab {

TPicturePrefetcher::TPicturePrefetcher(Loader loader, int capacity)
    : loader_(std::move(loader))
    , capacity_(std::max(capacity, 0))
    , worker_([this] { Run(); })
{
}

TPicturePrefetcher::~TPicturePrefetcher()
{
    std::vector<Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(entries_);
    }
    workQueued_.notify_all();
    decodeFinished_.notify_all();
    worker_.join();
}

void TPicturePrefetcher::Prefetch(const QStringList& paths)
{
    std::vector<Entry> previous;
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        previous.swap(entries_);
        for (const QString& path : paths) {
            if (int(entries_.size()) == capacity_)
                break;
            if (Find(path))
                continue;
            auto held = std::find_if(
                previous.begin(), previous.end(), [&](const Entry& entry) { return entry.path == path; });
            if (held != previous.end())
                entries_.push_back(std::move(*held));
            else
                entries_.push_back(Entry { path, nextId_++, State::kQueued, {} });
        }
    }
    // Freeing a large picture takes milliseconds: the worker does it,
    // not the caller, who is about to paint.
    {
        std::lock_guard lock(mutex_);
        for (Entry& entry : previous) {
            if (!entry.decoded.image.isNull())
                discarded_.push_back(std::move(entry.decoded.image));
        }
    }
    previous.clear();
    workQueued_.notify_one();
    // A Take waiting for a dropped decode decodes for itself instead.
    decodeFinished_.notify_all();
}

QImage TPicturePrefetcher::Take(const QString& path)
{
    const FileStamp now = StampOf(path);
    std::unique_lock lock(mutex_);
    Entry* entry = Find(path);
    if (entry && entry->state == State::kDecoding) {
        const quint64 id = entry->id;
        decodeFinished_.wait(lock, [&] {
            const Entry* waited = FindId(id);
            return !waited || waited->state != State::kDecoding;
        });
        entry = FindId(id);
    }
    if (!entry) {
        lock.unlock();
        return Decode(path).image;
    }
    if (entry->state == State::kReady && entry->decoded.stamp == now)
        return entry->decoded.image;
    return DecodeHere(lock, *entry);
}

QImage TPicturePrefetcher::DecodeHere(std::unique_lock<std::mutex>& lock, Entry& entry)
{
    entry.state = State::kDecoding;
    const quint64 id = entry.id;
    const QString path = entry.path;
    lock.unlock();
    Decoded decoded = Decode(path);
    const QImage image = decoded.image;
    lock.lock();
    Decoded unwanted = Finish(id, std::move(decoded));
    lock.unlock();
    decodeFinished_.notify_all();
    return image;
}

void TPicturePrefetcher::Run()
{
    for (;;) {
        quint64 id = 0;
        QString path;
        std::vector<QImage> discarded;
        {
            std::unique_lock lock(mutex_);
            workQueued_.wait(lock, [this] { return stopping_ || FirstQueued() || !discarded_.empty(); });
            if (stopping_)
                return;
            discarded.swap(discarded_);
            if (!FirstQueued())
                continue; // the discarded pictures are freed unlocked
            Entry* entry = FirstQueued();
            entry->state = State::kDecoding;
            id = entry->id;
            path = entry->path;
        }
        discarded.clear();
        Decoded decoded = Decode(path);
        Decoded unwanted;
        {
            std::lock_guard lock(mutex_);
            unwanted = Finish(id, std::move(decoded));
        }
        decodeFinished_.notify_all();
    }
}

TPicturePrefetcher::Decoded TPicturePrefetcher::Finish(quint64 id, Decoded decoded)
{
    Entry* entry = FindId(id);
    if (!entry)
        return decoded;
    entry->decoded = std::move(decoded);
    entry->state = State::kReady;
    return {};
}

TPicturePrefetcher::Decoded TPicturePrefetcher::Decode(const QString& path) const
{
    // Stamped first: a change during the decode makes the stamp stale.
    Decoded decoded { StampOf(path), {} };
    try {
        decoded.image = loader_(path);
    } catch (...) {
        decoded.image = QImage(); // a loader that throws failed to decode
    }
    return decoded;
}

TPicturePrefetcher::FileStamp TPicturePrefetcher::StampOf(const QString& path)
{
    struct stat status { };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return { true, qint64(status.st_ino), qint64(status.st_size),
        qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec,
        qint64(status.st_ctim.tv_sec) * 1'000'000'000 + status.st_ctim.tv_nsec };
}

TPicturePrefetcher::Entry* TPicturePrefetcher::Find(const QString& path)
{
    auto found = std::find_if(
        entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.path == path; });
    return found == entries_.end() ? nullptr : &*found;
}

TPicturePrefetcher::Entry* TPicturePrefetcher::FindId(quint64 id)
{
    auto found
        = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.id == id; });
    return found == entries_.end() ? nullptr : &*found;
}

TPicturePrefetcher::Entry* TPicturePrefetcher::FirstQueued()
{
    auto found = std::find_if(
        entries_.begin(), entries_.end(), [](const Entry& entry) { return entry.state == State::kQueued; });
    return found == entries_.end() ? nullptr : &*found;
}

} // namespace lumigrab
