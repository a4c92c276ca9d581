// The picture folder is listed in the order its files arrived: by
// modification time, then by name; only regular files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "app/arrivallisting.h"

namespace lumigrab {
namespace {

void WriteWithTime(const QString& path, qint64 seconds, long nanoseconds = 0)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
    file.close();
    const timespec times[2] = { { seconds, nanoseconds }, { seconds, nanoseconds } };
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

QStringList Listed(const QString& folder)
{
    TArrivalListing listing(folder);
    QStringList names;
    QString name;
    while (listing.Next(name))
        names.append(name);
    return names;
}

TEST(ArrivalListing, OldestFirstThenByNameRegularFilesOnly)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + '/';
    // Written in an order that is neither the arrival nor the name order.
    WriteWithTime(folder + "m.jpg", 1'700'000'300);
    WriteWithTime(folder + "a.jpg", 1'700'000'300);
    WriteWithTime(folder + "z.jpg", 1'700'000'100);
    WriteWithTime(folder + "b.gif", 1'700'000'200, 2);
    WriteWithTime(folder + "c.gif", 1'700'000'200, 1);
    WriteWithTime(folder + "caf\u00e9.bmp", 1'700'000'400);
    ASSERT_TRUE(QDir(folder).mkdir("sub.jpg"));
    ASSERT_TRUE(QFile::link(folder + "z.jpg", folder + "link.jpg"));

    EXPECT_EQ(Listed(folder), QStringList({ "z.jpg", "c.gif", "b.gif", "a.jpg", "m.jpg", "caf\u00e9.bmp" }));
    // The trailing separator is optional.
    EXPECT_EQ(Listed(dir.path()).size(), 6);
}

// Large folders are stat'ed by several threads, each a share of the
// listing: every file keeps its own time, whichever share it fell in.
TEST(ArrivalListing, LargeFolderInArrivalOrder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + '/';
    constexpr int kFiles = 1201;
    std::vector<std::pair<int, QString>> arrivals;
    for (int arrival = 0; arrival < kFiles; ++arrival) {
        // Names in another order than arrival; every twentieth file shares
        // its time with the one before, and goes by name.
        const int second = arrival - (arrival % 20 == 1 ? 1 : 0);
        const QString name = QString("%1.jpg").arg((arrival * 7919) % kFiles, 4, 10, QChar('0'));
        ASSERT_NO_FATAL_FAILURE(WriteWithTime(folder + name, 1'700'000'000 + second));
        arrivals.emplace_back(second, name);
    }
    std::sort(arrivals.begin(), arrivals.end());
    QStringList expected;
    for (const auto& [second, name] : arrivals)
        expected.append(name);
    ASSERT_TRUE(QDir(folder).mkdir("sub"));
    WriteWithTime(folder + ".lumigrab-index", 1);

    EXPECT_EQ(Listed(folder), expected);
}

TEST(ArrivalListing, FolderThatCannotBeOpenedListsNothing)
{
    EXPECT_EQ(Listed("/nonexistent/lumigrab/TEMP/"), QStringList());
}

} // namespace
} // namespace lumigrab
