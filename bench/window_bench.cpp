// The main window's speed on Qt's offscreen platform:
// - start-up, from creating the window to its first picture painted, with
//   an empty picture folder and with 10,000 pictures in it (the target is
//   at most 1.5 times the empty start), and on to the whole folder listed;
// - start-up with 100,000 empty *.jpg and no picture, from creating the
//   window to it shown and painted (they go to the trash from the event
//   loop afterwards; the target is the empty start's time, not the ~30 s
//   of handling them first), and on until every one of them is moved to
//   the trash and the window idle (the target is a few seconds);
// - Forward to a 24-megapixel JPEG that was decoded ahead, from the key to
//   the picture painted fitted to the pane (the target is one frame,
//   16 ms).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "app/glyphbutton.h"
#include "app/nntpmain.h"
#include "app/picturepane.h"
#include "app/pictureview.h"

namespace lumigrab {
namespace {

// One application for the program, offscreen, with settings of its own.
void EnsureApplication()
{
    static QTemporaryDir config;
    static std::unique_ptr<QApplication> application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        static int argc = 1;
        static char name[] = "window_bench";
        static char* argv[] = { name, nullptr };
        return std::make_unique<QApplication>(argc, argv);
    }();
}

// A data folder whose picture folder holds count copies of a small picture
// (hard links: regular files, made fast).
QString DataFolderWith(QTemporaryDir& root, int count)
{
    const QString temp = root.filePath("TEMP/");
    QDir().mkpath(temp);
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    const QString first = temp + "p0.bmp";
    picture.save(first, "BMP");
    const QByteArray firstName = QFile::encodeName(first);
    for (int i = 1; i < count; ++i)
        ::link(firstName.constData(), QFile::encodeName(temp + QString("p%1.bmp").arg(i)).constData());
    return root.path() + '/';
}

// Start-up as the user sees it: built, shown and painted once.
std::unique_ptr<TfrmMain> OpenWindow(const QString& dataFolder)
{
    auto window = std::make_unique<TfrmMain>(dataFolder);
    window->show();
    window->repaint();
    return window;
}

void CloseUntimed(benchmark::State& state, std::unique_ptr<TfrmMain>& window)
{
    state.PauseTiming();
    window.reset();
    state.ResumeTiming();
}

void BM_StartUpToFirstPicture(benchmark::State& state)
{
    EnsureApplication();
    QTemporaryDir root;
    const QString dataFolder = DataFolderWith(root, int(state.range(0)));
    for (auto _ : state) {
        auto window = OpenWindow(dataFolder);
        if (state.range(0) > 0 && window->Image1->Picture().isNull())
            state.SkipWithError("no picture shown");
        CloseUntimed(state, window);
    }
}
BENCHMARK(BM_StartUpToFirstPicture)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond);

// The rest of the folder is listed from the event loop after the first
// picture shows: the time until the whole folder is in the set.
void BM_StartUpToFolderListed(benchmark::State& state)
{
    EnsureApplication();
    QTemporaryDir root;
    const QString dataFolder = DataFolderWith(root, int(state.range(0)));
    for (auto _ : state) {
        auto window = OpenWindow(dataFolder);
        while (window->ScanningTempFolder())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (window->Pictures().size() != state.range(0))
            state.SkipWithError("the set does not hold the whole folder");
        CloseUntimed(state, window);
    }
}
BENCHMARK(BM_StartUpToFolderListed)->Arg(10000)->Unit(benchmark::kMillisecond);

// The files the window moved to the trash come back between runs.
void MakeEmptyFiles(const QString& temp, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString path = temp + QString("empty%1.jpg").arg(i);
        if (!QFileInfo::exists(path))
            QFile(path).open(QIODevice::WriteOnly);
    }
}

// A data folder whose trash is its own, not the user's, for the length of
// a benchmark.
struct TFolderWithATrash {
    QTemporaryDir root;
    QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    QString temp = root.filePath("TEMP/");

    TFolderWithATrash()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath("share")));
        QDir().mkpath(temp);
    }
    ~TFolderWithATrash() { qputenv("XDG_DATA_HOME", dataHome); }
    QString DataFolder() const { return root.path() + '/'; }
};

void BM_StartUpWithUndecodableFiles(benchmark::State& state)
{
    EnsureApplication();
    const TFolderWithATrash folder;
    const int count = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        MakeEmptyFiles(folder.temp, count);
        state.ResumeTiming();
        auto window = OpenWindow(folder.DataFolder());
        if (!window->isVisible() || !window->ScanningTempFolder())
            state.SkipWithError("the window waited for the folder");
        CloseUntimed(state, window);
    }
}
BENCHMARK(BM_StartUpWithUndecodableFiles)->Arg(100000)->Iterations(5)->Unit(benchmark::kMillisecond);

// And on until the window is idle: every one of them tried and moved to the
// trash (the target is a few seconds for 100,000).
void BM_StartUpWithUndecodableFilesUntilIdle(benchmark::State& state)
{
    EnsureApplication();
    const TFolderWithATrash folder;
    const int count = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        // A fresh trash each time: names trashed before would be numbered.
        QDir(folder.root.filePath("share")).removeRecursively();
        MakeEmptyFiles(folder.temp, count);
        state.ResumeTiming();
        auto window = OpenWindow(folder.DataFolder());
        while (window->ScanningTempFolder())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!QDir(folder.temp).entryList(QDir::Files).isEmpty())
            state.SkipWithError("files were left in the picture folder");
        CloseUntimed(state, window);
    }
}
BENCHMARK(BM_StartUpWithUndecodableFilesUntilIdle)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ForwardToA24MpJpegDecodedAheadAndFitted(benchmark::State& state)
{
    EnsureApplication();
    QTemporaryDir root;
    const QString temp = root.filePath("TEMP/");
    QDir().mkpath(temp);
    QImage photo(6000, 4000, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x * 255 / 6000, y * 255 / 4000, (x ^ y) & 0xFF));
    for (const char* name : { "a.jpg", "b.jpg" })
        if (!photo.save(temp + name, "JPEG", 90))
            state.SkipWithError("cannot write the photo");
    TfrmMain window(root.path() + '/');
    window.show();
    while (window.ScanningTempFolder())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const auto decodeAhead = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); };
    for (auto _ : state) {
        state.PauseTiming();
        window.sbPrior->click();
        decodeAhead();
        state.ResumeTiming();
        window.sbNext->click();
        window.repaint();
    }
    if (window.PictureIndex() != 1 || window.Image1->Picture().isNull())
        state.SkipWithError(
            ("Forward did not show the second picture: " + std::to_string(window.PictureIndex()) + " of "
                + std::to_string(window.Pictures().size()) + " " + window.StatusText(1).toStdString())
                .c_str());
    else if (!window.ScrollBox1->Fitted() || window.ScrollBox1->Scale() >= 1)
        state.SkipWithError("the picture is not fitted to the pane");
}
BENCHMARK(BM_ForwardToA24MpJpegDecodedAheadAndFitted)->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumigrab
