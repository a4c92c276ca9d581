#include "vieweractions.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include "app/keepfolder.h"
#include "app/mainlayout.h"
#include "app/pictureinfo.h"
#include "app/pictureloader.h"
#include "app/picturemovie.h"
#include "app/picturepane.h"
#include "app/pictureset.h"
#include "app/slideshow.h"
#include "base/classes.h"

namespace lumigrab {

TViewerActions::TViewerActions(TMainLayout& layout, TPictureSet& pictures, QObject* parent)
    : QObject(parent)
    , layout_(layout)
    , pictures_(pictures)
    , pane_(*layout.ScrollBox1)
    , movie_(new TPictureMovie(*layout.ScrollBox1, this))
    , slideshow_(new TSlideshow(this))
{
    slideshow_->AtLast = [this] { return pictures_.Index() + 1 >= pictures_.Pictures().size(); };
    slideshow_->MoreComing = [this] { return MoreComing && MoreComing(); };
    slideshow_->Forward = [this] {
        if (Forward)
            Forward();
    };
    slideshow_->OnEnded = [this] { Tell(QStringLiteral("Slideshow ended")); };
    Bind();
}

TViewerActions::~TViewerActions() = default;

void TViewerActions::Bind()
{
    connect(layout_.KeepCopy1, &QAction::triggered, this, &TViewerActions::KeepCopy);
    connect(layout_.Copy1, &QAction::triggered, this, &TViewerActions::CopyPicture);
    connect(layout_.ShowInFolder1, &QAction::triggered, this, &TViewerActions::ShowInFolder);
    connect(layout_.TurnRight1, &QAction::triggered, this, [this] { Turn(1); });
    connect(layout_.TurnLeft1, &QAction::triggered, this, [this] { Turn(-1); });
    connect(layout_.Slideshow1, &QAction::triggered, this, &TViewerActions::ToggleSlideshow);
    connect(layout_.PictureInfo1, &QAction::toggled, this, &TViewerActions::ShowInformation);
}

void TViewerActions::PictureShown(const QImage& picture, const QString& path)
{
    // A picture too large to show is kept and copied as a file all the same.
    shown_ = path;
    movie_->Stop();
    if (!picture.isNull())
        movie_->Play(path);
    if (layout_.PictureInfo->isVisible())
        layout_.PictureInfo->ShowPicture(path, pictures_.Folder());
}

QString TViewerActions::KeepFolder() const
{
    const std::string folder = Settings ? Settings().KeepFolder : std::string();
    return folder.empty() ? DefaultKeepFolder() : QString::fromStdString(folder);
}

void TViewerActions::KeepCopy()
{
    const QString path = PictureFor("keep");
    if (path.isEmpty())
        return;
    try {
        const TKeepFolder::TKept kept = TKeepFolder(KeepFolder()).Keep(path);
        Tell((kept.copied ? QStringLiteral("Kept as %1") : QStringLiteral("Kept already as %1"))
                 .arg(ShownPath(kept.path)));
    } catch (const Exception& error) {
        Tell(QString::fromStdString(error.Message()));
    }
}

// The image at its own size, whatever the zoom or turn, and the file beside
// it for a file manager.
void TViewerActions::CopyPicture()
{
    const QString path = PictureFor("copy");
    if (path.isEmpty())
        return;
    const QImage image = LoadPicture(path);
    auto* data = new QMimeData;
    if (!image.isNull())
        data->setImageData(image);
    data->setUrls({ QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()) });
    QApplication::clipboard()->setMimeData(data);
    Tell(image.isNull() ? QStringLiteral("Copied %1 as a file").arg(QFileInfo(path).fileName())
                        : QStringLiteral("Copied %1 (%2 x %3)")
                              .arg(QFileInfo(path).fileName())
                              .arg(image.width())
                              .arg(image.height()));
}

void TViewerActions::ShowInFolder()
{
    const QString path = PictureFor("show in its folder");
    if (path.isEmpty())
        return;
    const QString folder = QFileInfo(path).absolutePath();
    if (!OpenUrl || !OpenUrl(QUrl::fromLocalFile(folder)))
        Tell(QStringLiteral("Cannot open %1 in a file manager").arg(ShownPath(folder)));
}

void TViewerActions::Turn(int quarters)
{
    if (PictureFor("turn").isEmpty())
        return;
    pane_.Turn(quarters);
}

void TViewerActions::ToggleSlideshow()
{
    if (slideshow_->Running()) {
        slideshow_->Stop();
        return;
    }
    if (pictures_.Pictures().isEmpty()) {
        Tell(QStringLiteral("No pictures for a slideshow"));
        return;
    }
    const int seconds = Settings ? Settings().SlideshowSeconds : DefaultSlideshowSeconds;
    slideshow_->Start(seconds * 1000);
    Tell(QStringLiteral("Slideshow: a picture every %1 s; any key or click ends it").arg(seconds));
}

void TViewerActions::ShowInformation(bool shown)
{
    layout_.PictureInfo->setVisible(shown);
    if (shown)
        layout_.PictureInfo->ShowPicture(shown_, pictures_.Folder());
    layout_.Arrange();
}

void TViewerActions::Tell(const QString& text) const
{
    if (Status)
        Status(text);
}

QString TViewerActions::PictureFor(const char* what) const
{
    if (shown_.isEmpty())
        Tell(QStringLiteral("No picture on show to %1").arg(QLatin1String(what)));
    return shown_;
}

} // namespace lumigrab
