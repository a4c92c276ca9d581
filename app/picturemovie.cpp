#include "picturemovie.h"

#include <QFileInfo>
#include <QImageReader>
#include <QMovie>

#include "app/picturelimits.h"
#include "app/picturepane.h"

namespace lumigrab {

QString AnimationRefusal(const QString& path, int* frames)
{
    if (frames)
        *frames = 0;
    if (QFileInfo(path).size() > kMaxPictureFileBytes)
        return {};
    QImageReader reader(path);
    if (!reader.supportsAnimation())
        return {};
    const int count = reader.imageCount();
    if (frames)
        *frames = count;
    if (count <= 1)
        return {};
    const QSize size = reader.size();
    const QString name = QFileInfo(path).fileName();
    if (!PictureSizeAllowed(size.width(), size.height(), kMaxPicturePixels))
        return QStringLiteral("%1 is not played: its frames of %2 x %3 pixels are too large")
            .arg(name)
            .arg(size.width())
            .arg(size.height());
    const qint64 pixels = qint64(size.width()) * size.height() * count;
    if (count > kMaxAnimationFrames || pixels > kMaxAnimationPixels)
        return QStringLiteral("%1 is not played: %2 frames of %3 x %4 pixels are too many")
            .arg(name)
            .arg(count)
            .arg(size.width())
            .arg(size.height());
    return {};
}

TPictureMovie::TPictureMovie(TPicturePane& pane, QObject* parent)
    : QObject(parent)
    , pane_(pane)
{
}

TPictureMovie::~TPictureMovie() = default;

bool TPictureMovie::Play(const QString& path)
{
    Stop();
    int frames = 0;
    const QString refusal = AnimationRefusal(path, &frames);
    if (!refusal.isEmpty()) {
        pane_.SetNotice(refusal);
        return false;
    }
    if (frames <= 1)
        return false;
    movie_ = std::make_unique<QMovie>(path);
    movie_->setCacheMode(QMovie::CacheNone);
    if (!movie_->isValid()) {
        movie_.reset();
        return false;
    }
    connect(movie_.get(), &QMovie::frameChanged, this, &TPictureMovie::ShowFrame);
    movie_->start();
    return true;
}

void TPictureMovie::Stop()
{
    if (movie_)
        movie_->stop();
    movie_.reset();
    framesShown_ = 0;
}

bool TPictureMovie::Playing() const
{
    return movie_ && movie_->state() == QMovie::Running;
}

// The first frame came with the picture already; every later one replaces
// it.
void TPictureMovie::ShowFrame()
{
    const QImage frame = movie_->currentImage();
    if (frame.isNull())
        return;
    ++framesShown_;
    pane_.ShowFrame(frame);
}

} // namespace lumigrab
