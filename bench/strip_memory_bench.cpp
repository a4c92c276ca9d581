// The main window's thumbnail strip over a large set, on Qt's offscreen
// platform: a picture folder of small JPEGs with a 12-megapixel photo every
// 500th, the window started on it, the strip scrolled from its first cell to
// its last, a page at a time, each page's thumbnails made before the next.
// Reported: the process's peak resident memory (VmHWM) while that runs, and
// how much of it the window added. The strip holds at most 600 thumbnails
// and nothing per picture beyond the picture's path, so the figures must not
// grow with the set beyond a few bytes per picture: with 10,000 pictures the
// window adds at most kBoundMiB (the run fails beyond it).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTemporaryDir>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>

#include "bench/offscreen_application.h"
#include "bench/process_memory.h"
#include "app/nntpmain.h"
#include "app/thumbnailcache.h"
#include "app/thumbnailmodel.h"
#include "app/thumbnailstrip.h"

namespace lumigrab {
namespace {

using bench::ResetPeak;
using bench::StatusMiB;

constexpr double kBoundMiB = 64;
constexpr int kBigPhotoEvery = 500;

QByteArray JpegBytes(QSize size, int seed)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb((x + seed * 37) & 0xFF, (y + seed * 11) & 0xFF, (x ^ y ^ seed) & 0xFF);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return bytes;
}

// count pictures, a second apart in arrival, the big ones among them.
void FillFolder(const QString& temp, int count)
{
    QDir().mkpath(temp);
    std::vector<QByteArray> small;
    for (int seed = 0; seed < 16; ++seed)
        small.push_back(JpegBytes({ 320, 240 }, seed));
    const QByteArray big = JpegBytes({ 4000, 3000 }, 99);
    for (int i = 0; i < count; ++i) {
        const QString path = temp + QString("p%1.jpg").arg(i, 5, 10, QChar('0'));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(i % kBigPhotoEvery == kBigPhotoEvery / 2 ? big : small[size_t(i) % small.size()]);
        file.close();
        const timespec times[2] = { { 1'700'000'000 + i, 0 }, { 1'700'000'000 + i, 0 } };
        ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
    }
}

TThumbnailModel& Thumbnails(TThumbnailStrip& strip)
{
    return *qobject_cast<TThumbnailModel*>(strip.model());
}

// Waits until the thumbnails of the cells on view are made (or given up).
bool PageMade(TThumbnailStrip& strip, const QStringList& pictures)
{
    TThumbnailCache& cache = Thumbnails(strip).Cache();
    const int first = strip.indexAt(QPoint(1, 1)).row();
    int last = strip.indexAt(QPoint(strip.viewport()->width() - 2, 1)).row();
    if (last < 0)
        last = int(pictures.size()) - 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int row = std::max(first, 0); row <= last; ++row) {
        bool made = false;
        cache.Find(pictures[row], &made);
        while (!made) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            cache.Find(pictures[row], &made);
        }
    }
    return true;
}

void BM_StripScrolledEndToEnd(benchmark::State& state)
{
    bench::EnsureOffscreenApplication();
    const int count = int(state.range(0));
    QTemporaryDir root;
    FillFolder(root.filePath("TEMP/"), count);
    // What the folder's making freed goes back first: the baseline is what
    // lives before the window.
    ::malloc_trim(0);
    const double before = StatusMiB("VmRSS");
    ResetPeak();
    for (auto _ : state) {
        TfrmMain window(root.path() + '/');
        window.resize(1280, 800);
        window.show();
        while (window.ScanningTempFolder())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        TThumbnailStrip& strip = *window.findChild<TThumbnailStrip*>();
        if (strip.Count() != count) {
            state.SkipWithError("the strip does not hold the whole set");
            return;
        }
        QScrollBar& bar = *strip.horizontalScrollBar();
        for (int value = 0;; value += bar.pageStep()) {
            bar.setValue(std::min(value, bar.maximum()));
            strip.viewport()->repaint();
            if (!PageMade(strip, window.Pictures())) {
                state.SkipWithError("thumbnails did not come within 10 s");
                return;
            }
            if (value >= bar.maximum())
                break;
        }
        state.counters["held"] = Thumbnails(strip).Cache().Held();
    }
    const double peak = StatusMiB("VmHWM");
    state.counters["peak_MiB"] = peak;
    state.counters["added_MiB"] = peak - before;
    state.counters["bound_MiB"] = kBoundMiB;
    if (count >= 10000 && peak - before > kBoundMiB)
        state.SkipWithError("the window added more than the bound");
}
BENCHMARK(BM_StripScrolledEndToEnd)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace lumigrab
