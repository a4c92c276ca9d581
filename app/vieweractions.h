// What the viewer does with the picture on show beyond browsing: Keep a copy
// (Ctrl+S) into the keep folder, Copy (Ctrl+C) to the clipboard, Show in
// folder, Turn (R, Shift+R), the slideshow (F5) and the picture
// information panel (I); and animations play as they are shown. Binds the
// layout's actions to these; the window hands on each picture it shows
// (PictureShown) and says what only it knows through the hooks below.
//
// Handlers never raise: what goes wrong is told in the status bar.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>

#include "app/setupvalues.h"

class QUrl;

namespace lumigrab {

class TMainLayout;
class TPicturePane;
class TPictureMovie;
class TPictureSet;
class TSlideshow;

class TViewerActions : public QObject {
    Q_OBJECT

public:
    TViewerActions(TMainLayout& layout, TPictureSet& pictures, QObject* parent = nullptr);
    ~TViewerActions() override;

    // A status text for the user.
    std::function<void(const QString& text)> Status;
    // The keep folder and the slideshow's pause, as set now.
    std::function<TViewerSettings()> Settings;
    // Opens an address with the desktop's handler.
    std::function<bool(const QUrl& address)> OpenUrl;
    // Whether another picture may still join the set (a Go runs).
    std::function<bool()> MoreComing;
    // One step forward, as the window's Forward makes it.
    std::function<void()> Forward;

    // The picture the set shows now, with its file (see TPictureSet::Shown).
    void PictureShown(const QImage& picture, const QString& path);

    void KeepCopy();
    void CopyPicture();
    void ShowInFolder();
    void Turn(int quarters);
    // F5: starts the slideshow, or ends it.
    void ToggleSlideshow();
    void ShowInformation(bool shown);

    TPictureMovie& Movie() const { return *movie_; }
    TSlideshow& Slideshow() const { return *slideshow_; }
    // The folder Keep copies into: the setting, else DefaultKeepFolder().
    QString KeepFolder() const;

private:
    TMainLayout& layout_;
    TPictureSet& pictures_;
    TPicturePane& pane_;
    TPictureMovie* movie_;
    TSlideshow* slideshow_;
    // The file on show, or too large to show; empty for none.
    QString shown_;

    void Bind();
    void Tell(const QString& text) const;
    // The file on show, or empty with the reason told.
    QString PictureFor(const char* what) const;
};

} // namespace lumigrab
