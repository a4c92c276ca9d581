#include "thumbnailcache.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <new>

#include "app/picturelimits.h"
#include "app/pictureloader.h"

namespace lumigrab {

namespace {

// A reader may give more than it was asked for (a GIF whose frame is not
// its screen): whatever it gave is made to fit.
QImage WithinBox(const QImage& image, QSize box)
{
    if (image.isNull() || (image.width() <= box.width() && image.height() <= box.height()))
        return image;
    return image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

QImage DecodeThumbnail(QByteArrayView bytes, QSize box)
{
    QByteArray unowned = QByteArray::fromRawData(bytes.data(), bytes.size());
    QBuffer buffer(&unowned);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QByteArray format = reader.format();
    const QSize size = reader.size();
    if ((format == "jpeg" || format == "gif" || format == "bmp" || format == "png") && size.isValid()) {
        reader.setAutoTransform(true);
        // Scaled before the turn upright: the box's sides turn with it.
        const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
        const QSize fitted = size.scaled(turned ? box.transposed() : box, Qt::KeepAspectRatio);
        if (format == "jpeg" || PictureSizeAllowed(size.width(), size.height(), kMaxPicturePixels)) {
            if (size.width() > fitted.width() || size.height() > fitted.height())
                reader.setScaledSize(fitted.expandedTo(QSize(1, 1)));
            const QImage image = reader.read();
            if (!image.isNull())
                return WithinBox(image, box);
        }
    }
    // The formats Qt does not read (PCX, TGA, packed DIB) and what Qt's
    // reader refused: the whole picture, then scaled.
    return WithinBox(DecodePicture(bytes), box);
}

QImage MakeThumbnail(const QString& path, QSize box)
{
    const QFileInfo info(path);
    QFile file(path);
    // Not a FIFO or a device: opening one could wait forever.
    if (!info.isFile() || info.size() > kMaxPictureFileBytes || !file.open(QIODevice::ReadOnly))
        return {};
    try {
        return DecodeThumbnail(file.readAll(), box);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

TThumbnailCache::TThumbnailCache(QSize box, int capacity, Ready ready)
    : box_(box)
    , capacity_(std::max(capacity, 1))
    , ready_(std::move(ready))
    , worker_([this] { Run(); })
{
}

TThumbnailCache::~TThumbnailCache()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    worker_.join();
}

QImage TThumbnailCache::Find(const QString& path, bool* made)
{
    std::lock_guard lock(mutex_);
    const auto found = held_.find(path);
    if (found != held_.end()) {
        uses_.splice(uses_.begin(), uses_, found->use);
        if (made)
            *made = true;
        return found->image;
    }
    if (made)
        *made = false;
    if (std::find(requests_.begin(), requests_.end(), path) == requests_.end()) {
        requests_.push_back(path);
        if (int(requests_.size()) > capacity_)
            requests_.pop_front();
        queued_.notify_one();
    }
    return {};
}

void TThumbnailCache::Forget(const QString& path)
{
    std::lock_guard lock(mutex_);
    const auto found = held_.find(path);
    if (found != held_.end()) {
        uses_.erase(found->use);
        held_.erase(found);
    }
}

int TThumbnailCache::Held() const
{
    std::lock_guard lock(mutex_);
    return int(held_.size());
}

void TThumbnailCache::Run()
{
    for (;;) {
        QString path;
        {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [this] { return stopping_ || !requests_.empty(); });
            if (stopping_)
                return;
            // The latest request first: what the user looks at now.
            path = requests_.back();
            requests_.pop_back();
        }
        QImage image;
        try {
            image = MakeThumbnail(path, box_);
        } catch (...) {
            image = QImage();
        }
        Store(path, std::move(image));
        if (ready_)
            ready_(path);
    }
}

void TThumbnailCache::Store(const QString& path, QImage image)
{
    QImage dropped; // freed after unlocking
    std::lock_guard lock(mutex_);
    if (held_.contains(path))
        return;
    uses_.push_front(path);
    held_.insert(path, Entry { std::move(image), uses_.begin() });
    if (int(held_.size()) > capacity_) {
        const auto oldest = held_.find(uses_.back());
        dropped = std::move(oldest->image);
        held_.erase(oldest);
        uses_.pop_back();
    }
}

} // namespace lumigrab
