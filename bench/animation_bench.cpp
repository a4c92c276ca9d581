// An animated GIF of 100 frames of 1920 x 1080 in the picture pane, on
// Qt's offscreen platform. Reported: how long after Forward (the picture
// loaded, then Play) the animation's first frame is on show, which must be
// within the file's one frame time, 100 ms, and when the second follows;
// and the process's peak resident memory while all 100 frames
// play, less what it was before: frames are decoded one at a time and none
// kept, so the growth stays at a few frames (the run fails beyond
// kBoundMiB).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fstream>
#include <string>

#include "bench/offscreen_application.h"
#include "bench/process_memory.h"
#include "app/pictureloader.h"
#include "app/picturemovie.h"
#include "app/picturepane.h"
#include "tests/support/gif_writer.h"

namespace lumigrab {
namespace {

using bench::ResetPeak;
using bench::StatusMiB;

constexpr int kFrames = 100;
constexpr int kFrameMs = 100;
constexpr double kBoundMiB = 64;

QString WriteAnimation(const QTemporaryDir& folder, int frameMs)
{
    const std::string gif = testing::AnimatedGif(1920, 1080, kFrames, frameMs / 10);
    const QString path = folder.filePath("moving.gif");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(gif.data(), qint64(gif.size()));
    return path;
}

void BM_ForwardToAnAnimationStartsWithinOneFrame(benchmark::State& state)
{
    bench::EnsureOffscreenApplication();
    QTemporaryDir folder;
    const QString path = WriteAnimation(folder, kFrameMs);
    TPicturePane pane;
    pane.resize(1280, 800);
    TPictureMovie movie(pane);
    double firstMs = 0, secondMs = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        // What Forward does: the picture, then its animation.
        pane.SetPicture(LoadPicture(path));
        movie.Play(path);
        while (movie.FramesShown() < 1)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        firstMs = std::max(firstMs, ms);
        while (movie.FramesShown() < 2)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        secondMs = std::max(secondMs, double(clock.nsecsElapsed()) / 1e6);
        state.SetIterationTime(ms / 1000);
        movie.Stop();
    }
    state.counters["first_frame_ms_worst"] = firstMs;
    state.counters["second_frame_ms_worst"] = secondMs;
    state.counters["frame_time_ms"] = kFrameMs;
    if (firstMs > kFrameMs)
        state.SkipWithError("the animation does not start within a frame time");
}
BENCHMARK(BM_ForwardToAnAnimationStartsWithinOneFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_PlayingAHundredFullHdFramesStaysBounded(benchmark::State& state)
{
    bench::EnsureOffscreenApplication();
    QTemporaryDir folder;
    // Frames fast (20 ms; shorter delays are played as 100 ms, as browsers
    // do): the memory, not the clock, is measured.
    const QString path = WriteAnimation(folder, 20);
    TPicturePane pane;
    pane.resize(1280, 800);
    TPictureMovie movie(pane);
    double grewMiB = 0;
    for (auto _ : state) {
        pane.SetPicture(LoadPicture(path));
        ResetPeak();
        const double before = StatusMiB("VmRSS");
        movie.Play(path);
        while (movie.FramesShown() < kFrames)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        grewMiB = StatusMiB("VmHWM") - before;
        movie.Stop();
    }
    state.counters["peak_growth_MiB"] = grewMiB;
    state.counters["one_frame_MiB"] = 1920.0 * 1080 * 4 / (1 << 20);
    if (grewMiB > kBoundMiB)
        state.SkipWithError("playing held more than a few frames");
}
BENCHMARK(BM_PlayingAHundredFullHdFramesStaysBounded)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
} // namespace lumigrab
