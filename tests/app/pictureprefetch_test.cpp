// The decode-ahead cache gives what a direct load gives, decodes each
// picture once, waits rather than decoding twice, and stops cleanly.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "app/pictureloader.h"
#include "app/pictureprefetch.h"

namespace lumigrab {
namespace {

using namespace std::chrono_literals;

const QString kPictures = QStringLiteral(LUMIGRAB_FIXTURES_DIR "/pictures/");

QImage ImageFor(const QString& path)
{
    QImage image(2, 1, QImage::Format_RGB32);
    image.fill(QRgb(qHash(path)));
    return image;
}

// A loader that records its calls; decodes of paths starting with "slow"
// wait until the gate opens.
class GatedLoader {
public:
    TPicturePrefetcher::Loader Loader()
    {
        return [this](const QString& path) { return Load(path); };
    }

    void WaitForCalls(qsizetype count)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return calls_.size() >= count; });
    }

    void Open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

    QStringList Calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    QImage Load(const QString& path)
    {
        std::unique_lock lock(mutex_);
        calls_.append(path);
        changed_.notify_all();
        if (path.startsWith("slow"))
            changed_.wait(lock, [&] { return open_; });
        return ImageFor(path);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    QStringList calls_;
    bool open_ = false;
};

TEST(PicturePrefetcher, SteppingThroughGivesWhatLoadPictureGives)
{
    QTemporaryDir dir;
    const QString undecodable = dir.filePath("notes.jpg");
    QFile notes(undecodable);
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("not a picture\r\n");
    notes.close();
    const QStringList paths { kPictures + "jpg-baseline-im.jpg", kPictures + "pcx-24bit-pil.pcx", undecodable,
        kPictures + "tga-cmap-rle-pil.tga", dir.filePath("missing.gif"),
        kPictures + "gif-transparent-pil.gif", kPictures + "rle-rle8-im.rle" };

    TPicturePrefetcher prefetcher;
    auto show = [&](int index) {
        const QImage shown = prefetcher.Take(paths[index]);
        EXPECT_EQ(shown, LoadPicture(paths[index])) << paths[index].toStdString();
        prefetcher.Prefetch({ paths.value(index + 1), paths.value(index - 1), paths.value(index + 2) });
    };
    for (int index = 0; index < paths.size(); ++index)
        show(index);
    for (int index = int(paths.size()) - 1; index >= 0; --index)
        show(index);
}

TEST(PicturePrefetcher, DecodesEachWantedPictureOnceAndOnlyTheWantedOnes)
{
    GatedLoader loader;
    TPicturePrefetcher prefetcher(loader.Loader(), 3);
    prefetcher.Prefetch({ "a", "b", "c", "d", "e" });
    for (const QString path : { "c", "a", "b", "a", "c" })
        EXPECT_EQ(prefetcher.Take(path), ImageFor(path));
    EXPECT_EQ(loader.Calls().size(), 3) << "d and e are beyond the capacity";

    prefetcher.Prefetch({ "a", "d" });
    EXPECT_EQ(prefetcher.Take("a"), ImageFor("a"));
    EXPECT_EQ(prefetcher.Take("d"), ImageFor("d"));
    EXPECT_EQ(prefetcher.Take("b"), ImageFor("b"));
    EXPECT_EQ(loader.Calls().count("a"), 1);
    EXPECT_EQ(loader.Calls().count("d"), 1);
    EXPECT_EQ(loader.Calls().count("b"), 2) << "b was dropped, so it is decoded again";
}

TEST(PicturePrefetcher, TakeWaitsForTheRunningDecodeInsteadOfDecodingAgain)
{
    GatedLoader loader;
    TPicturePrefetcher prefetcher(loader.Loader());
    prefetcher.Prefetch({ "slow" });
    loader.WaitForCalls(1);
    auto taken = std::async(std::launch::async, [&] { return prefetcher.Take("slow"); });
    EXPECT_EQ(taken.wait_for(100ms), std::future_status::timeout);
    loader.Open();
    EXPECT_EQ(taken.get(), ImageFor("slow"));
    EXPECT_EQ(loader.Calls(), QStringList { "slow" });
}

TEST(PicturePrefetcher, TakeOfADecodeThatIsDroppedMeanwhileDecodesItself)
{
    GatedLoader loader;
    TPicturePrefetcher prefetcher(loader.Loader());
    prefetcher.Prefetch({ "slow" });
    loader.WaitForCalls(1);
    auto taken = std::async(std::launch::async, [&] { return prefetcher.Take("slow"); });
    prefetcher.Prefetch({});
    loader.WaitForCalls(2);
    loader.Open();
    EXPECT_EQ(taken.get(), ImageFor("slow"));
}

TEST(PicturePrefetcher, ChangedOrRemovedFileIsDecodedAgain)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("picture.pcx");
    ASSERT_TRUE(QFile::copy(kPictures + "pcx-8bit-im.pcx", path));
    TPicturePrefetcher prefetcher;
    prefetcher.Prefetch({ path });
    EXPECT_EQ(prefetcher.Take(path), LoadPicture(kPictures + "pcx-8bit-im.pcx"));

    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::copy(kPictures + "tga-rgb-pil.tga", path));
    EXPECT_EQ(prefetcher.Take(path), LoadPicture(kPictures + "tga-rgb-pil.tga"));
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(prefetcher.Take(path).isNull());
}

TEST(PicturePrefetcher, DestructionWaitsForTheRunningDecodeAndDropsTheRest)
{
    GatedLoader loader;
    auto prefetcher = std::make_unique<TPicturePrefetcher>(loader.Loader());
    prefetcher->Prefetch({ "slow", "next" });
    loader.WaitForCalls(1);
    auto destroyed = std::async(std::launch::async, [&] { prefetcher.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    loader.Open();
    destroyed.get();
    EXPECT_EQ(loader.Calls(), QStringList { "slow" });
}

} // namespace
} // namespace lumigrab
