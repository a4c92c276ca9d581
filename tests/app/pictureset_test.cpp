// The picture set without a window: moving through it, deleting to the
// trash and restoring, pictures that cannot be shown, the folder listed at
// start and pictures arriving while it is browsed.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "app/pictureset.h"
#include "app/thumbnailmodel.h"
#include "tests/support/qt_environment.h"

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace lumigrab {
namespace {

QStringList FileNames(const QStringList& paths)
{
    QStringList names;
    for (const QString& path : paths)
        names.append(QFileInfo(path).fileName());
    return names;
}

// Pictures named pN.bmp are 11 + N pixels wide: the width tells which one
// is shown. Names beginning with "bad" hold no picture.
class PictureSetTest : public ::testing::Test {
protected:
    QTemporaryDir home;
    std::unique_ptr<TPictureSet> set;
    QImage shown;
    QString shownPath;
    int shownCount = 0;
    QString report;

    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        previousDataHome = qgetenv("XDG_DATA_HOME");
        // The desktop trash lives under XDG_DATA_HOME.
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("share")));
        QDir().mkpath(Folder());
        NewSet();
    }

    // A set over the folder as it is now, its signals recorded.
    void NewSet()
    {
        set = std::make_unique<TPictureSet>();
        set->SetFolder(Folder());
        QObject::connect(set.get(), &TPictureSet::Shown, [this](const QImage& picture, const QString& path) {
            shown = picture;
            shownPath = path;
            ++shownCount;
        });
        QObject::connect(set.get(), &TPictureSet::Report, [this](const QString& text) { report = text; });
    }

    void EmptyFolderAndTrash()
    {
        QDir(Folder()).removeRecursively();
        QDir(home.filePath("share")).removeRecursively();
        QDir().mkpath(Folder());
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", previousDataHome); }

    QString Folder() const { return home.filePath("TEMP/"); }
    QString Trash() const { return home.filePath("share/Trash/files/"); }

    // Writes name into the folder: a picture unless its name begins with
    // "bad" or "empty".
    void Write(const QString& name) const
    {
        QFile file(Folder() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        if (name.startsWith("bad"))
            file.write("not a picture");
        else if (!name.startsWith("empty"))
            file.write(PictureBytes(name));
    }

    static QByteArray PictureBytes(const QString& name)
    {
        QImage image(11 + QFileInfo(name).baseName().mid(1).toInt(), 7, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "BMP");
        return bytes;
    }

    void Add(const QStringList& names)
    {
        for (const QString& name : names) {
            Write(name);
            set->Add(Folder() + name);
        }
    }

    void ListWholeFolder()
    {
        set->StartListing();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !set->Listing(); }, 120000));
    }

    // "p3.bmp 2 of 5": the picture on show by name and the counter.
    QString OnShow() const
    {
        const QString name = QFileInfo(shownPath).fileName();
        if (!shown.isNull() && shown.width() != 11 + QFileInfo(name).baseName().mid(1).toInt())
            return "wrong picture for " + name;
        return QStringLiteral("%1 %2 of %3").arg(name).arg(set->ShownNumber()).arg(set->Pictures().size());
    }

private:
    QByteArray previousDataHome;
};

// Back and Forward stop at the ends; a file that cannot be shown gives way
// to the next that can in the direction of the step (at an end of the set,
// to the one on the other side) and goes to the trash.
TEST_F(PictureSetTest, MovesThroughTheSetAndPastWhatCannotBeShown)
{
    Add({ "p0.bmp", "bad1.jpg", "bad2.jpg", "p3.bmp", "bad4.jpg", "p5.bmp", "bad6.jpg" });
    struct Step {
        const char* action;
        std::function<void()> act;
        const char* onShow;
    };
    const Step steps[] = {
        { "the first added shows", [] {}, "p0.bmp 1 of 7" },
        { "Back on the first", [&] { set->Back(); }, "p0.bmp 1 of 7" },
        { "Forward over two", [&] { set->Forward(); }, "p3.bmp 2 of 5" },
        { "last, one at the end", [&] { set->Last(); }, "p5.bmp 4 of 4" },
        { "Back over one", [&] { set->Back(); }, "p3.bmp 2 of 3" },
        { "Forward", [&] { set->Forward(); }, "p5.bmp 3 of 3" },
        { "Forward on the last", [&] { set->Forward(); }, "p5.bmp 3 of 3" },
        { "first", [&] { set->First(); }, "p0.bmp 1 of 3" },
        { "number 3", [&] { set->ChooseNumber(3); }, "p5.bmp 3 of 3" },
        { "number 4 is none", [&] { set->ChooseNumber(4); }, "p5.bmp 3 of 3" },
        { "number 0 is none", [&] { set->ChooseNumber(0); }, "p5.bmp 3 of 3" },
        { "chosen at index 1", [&] { set->Choose(1); }, "p3.bmp 2 of 3" },
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.action);
        step.act();
        EXPECT_EQ(OnShow(), step.onShow);
        EXPECT_EQ(set->Pictures().at(set->Index()), shownPath);
        EXPECT_EQ(set->Thumbnails()->Paths(), set->Pictures());
    }
    EXPECT_EQ(FileNames(set->Pictures()), (QStringList { "p0.bmp", "p3.bmp", "p5.bmp" }));
    QStringList trashed = QDir(Trash()).entryList(QDir::Files);
    trashed.sort();
    EXPECT_EQ(trashed, (QStringList { "bad1.jpg", "bad2.jpg", "bad4.jpg", "bad6.jpg" }));
    EXPECT_EQ(report, "Cannot show bad4.jpg: moved it to the trash");
}

TEST_F(PictureSetTest, FileThatCannotBeShownStaysWhereNoTrashCanBeHad)
{
    set->MoveToTrash = [](const QString&, QString*) { return false; };
    Add({ "bad0.jpg" });
    EXPECT_EQ(set->Pictures(), QStringList());
    EXPECT_EQ(set->ShownNumber(), 0);
    EXPECT_TRUE(shown.isNull());
    EXPECT_EQ(shownPath, "");
    EXPECT_TRUE(QFileInfo::exists(Folder() + "bad0.jpg"));
    EXPECT_EQ(report, "Cannot show bad0.jpg: no trash to move it to, it stays in " + Folder());
}

// Delete moves the picture on show to the trash and shows the one after it
// (before it at the end); restore brings it back at its old place. Without
// a trash nothing is deleted, and a file already gone leaves only the set->
TEST_F(PictureSetTest, DeleteThenRestoreAtTheOldPlace)
{
    enum class TrashState { Works, Missing, FileGone };
    struct Case {
        const char* name;
        int pictures;
        int index;
        TrashState trash;
        const char* afterDelete;
        const char* report;
    };
    const Case cases[] = {
        { "the middle one", 3, 1, TrashState::Works, "p2.bmp 2 of 2", "Moved p1.bmp to the trash" },
        { "the last one", 3, 2, TrashState::Works, "p1.bmp 2 of 2", "Moved p2.bmp to the trash" },
        { "the only one", 1, 0, TrashState::Works, " 0 of 0", "Moved p0.bmp to the trash" },
        { "no trash", 2, 0, TrashState::Missing, "p0.bmp 1 of 2",
            "Cannot move p0.bmp to the trash: nothing was deleted" },
        { "a file gone already", 2, 0, TrashState::FileGone, "p1.bmp 1 of 1", "p0.bmp was gone already" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EmptyFolderAndTrash();
        NewSet();
        if (c.trash == TrashState::Missing)
            set->MoveToTrash = [](const QString&, QString*) { return false; };
        for (int i = 0; i < c.pictures; ++i) {
            Write(QString("p%1.bmp").arg(i));
            set->Add(Folder() + QString("p%1.bmp").arg(i));
        }
        set->Choose(c.index);
        const QStringList before = set->Pictures();
        const QString doomed = before.at(c.index);
        if (c.trash == TrashState::FileGone)
            QFile::remove(doomed);

        set->DeleteCurrent();
        EXPECT_EQ(report, c.report);
        EXPECT_EQ(QStringLiteral("%1 %2 of %3")
                      .arg(QFileInfo(shownPath).fileName())
                      .arg(set->ShownNumber())
                      .arg(set->Pictures().size()),
            c.afterDelete);
        EXPECT_EQ(QFileInfo::exists(doomed), c.trash == TrashState::Missing);
        EXPECT_EQ(QFileInfo::exists(Trash() + QFileInfo(doomed).fileName()), c.trash == TrashState::Works);

        EXPECT_EQ(set->Thumbnails()->Paths(), set->Pictures());
        set->RestoreLast();
        EXPECT_EQ(set->Thumbnails()->Paths(), set->Pictures());
        if (c.trash != TrashState::Works) {
            EXPECT_EQ(report, c.report) << "nothing to restore, nothing said";
            continue;
        }
        EXPECT_EQ(set->Pictures(), before);
        EXPECT_EQ(set->Index(), c.index);
        EXPECT_EQ(shownPath, doomed);
        EXPECT_TRUE(QFileInfo::exists(doomed));
        EXPECT_EQ(report, "Restored " + QFileInfo(doomed).fileName() + " from the trash");
    }
}

// The harvest's pictures join at the end; the first of an empty set shows
// at once, later ones leave the picture on show as it is.
TEST_F(PictureSetTest, PicturesArrivingWhileBrowsingKeepTheOneOnShow)
{
    Add({ "p0.bmp" });
    EXPECT_EQ(OnShow(), "p0.bmp 1 of 1");
    Add({ "p1.bmp", "p2.bmp" });
    set->Forward();
    const int shownBefore = shownCount;
    Add({ "p3.bmp", "p4.bmp" });
    EXPECT_EQ(shownCount, shownBefore);
    EXPECT_EQ(OnShow(), "p1.bmp 2 of 5");
    EXPECT_EQ(FileNames(set->Pictures()), (QStringList { "p0.bmp", "p1.bmp", "p2.bmp", "p3.bmp", "p4.bmp" }));
}

// The strip's rows follow the set row by row, never reset (a view keeps
// its place), and a row's thumbnail comes from the worker once asked for.
TEST_F(PictureSetTest, ThumbnailsFollowTheSetRowByRow)
{
    TThumbnailModel& thumbnails = *set->Thumbnails();
    int resets = 0;
    QObject::connect(&thumbnails, &QAbstractItemModel::modelReset, [&] { ++resets; });
    Add({ "p0.bmp", "p1.bmp", "bad2.jpg", "p3.bmp" });
    const QModelIndex second = thumbnails.index(1);
    EXPECT_TRUE(second.data(Qt::DecorationRole).isNull());
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !second.data(Qt::DecorationRole).value<QImage>().isNull(); }, 5000));
    EXPECT_EQ(second.data(Qt::DecorationRole).value<QImage>().size(), QSize(12, 7));

    QList<int> removed;
    QObject::connect(&thumbnails, &QAbstractItemModel::rowsRemoved,
        [&](const QModelIndex&, int first, int last) { removed << first << last; });
    set->Forward();
    set->Forward();
    EXPECT_EQ(removed, (QList<int> { 2, 2 }));
    set->DeleteCurrent();
    set->RestoreLast();
    EXPECT_EQ(removed, (QList<int> { 2, 2, 2, 2 }));
    EXPECT_EQ(thumbnails.Paths(), set->Pictures());
    EXPECT_EQ(resets, 0);
}

// The files join in the order they arrived, then by name; hidden entries
// (the harvest's index), subfolders, links and pipes do not.
TEST_F(PictureSetTest, ListsTheFolderInArrivalOrderRegularVisibleFilesOnly)
{
    const std::pair<const char*, qint64> files[]
        = { { "p2.bmp", 300 }, { "p0.bmp", 300 }, { "p1.bmp", 100 }, { ".hidden.bmp", 50 } };
    for (const auto& [name, seconds] : files) {
        Write(name);
        const timespec times[2] = { { 1'700'000'000 + seconds, 0 }, { 1'700'000'000 + seconds, 0 } };
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(Folder() + name).constData(), times, 0), 0);
    }
    QFile index(Folder() + ".lumigrab-index");
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    QDir(Folder()).mkdir("folder.bmp");
    QFile::link(Folder() + "p0.bmp", Folder() + "link.bmp");
    ASSERT_EQ(::mkfifo(QFile::encodeName(Folder() + "pipe.bmp").constData(), 0600), 0);

    ListWholeFolder();
    EXPECT_EQ(FileNames(set->Pictures()), (QStringList { "p1.bmp", "p0.bmp", "p2.bmp" }));
    EXPECT_EQ(OnShow(), "p1.bmp 1 of 3");
}

// A picture harvested while the set still looks for a first picture among
// files that cannot be shown (they are handled from the event loop) shows
// at once; the files not yet seen join before it, unchecked, and go to the
// trash when stepped onto.
TEST_F(PictureSetTest, PictureHarvestedWhileUndecodableFilesAreListedShowsAtOnce)
{
    for (int i = 0; i < 300; ++i)
        Write(QString("empty%1.jpg").arg(i));
    set->StartListing();
    ASSERT_TRUE(set->Listing());
    Write("harvested.bmp");
    set->Add(Folder() + "harvested.bmp");
    EXPECT_FALSE(set->Listing());
    const qsizetype size = set->Pictures().size();
    EXPECT_GT(size, 1);
    EXPECT_EQ(OnShow(), QStringLiteral("harvested.bmp %1 of %1").arg(size));
    EXPECT_EQ(QDir(Folder()).entryList(QDir::Files).size(), size);
    // Back finds none before it that can be shown.
    set->Back();
    EXPECT_EQ(OnShow(), "harvested.bmp 1 of 1");
    EXPECT_EQ(QDir(Folder()).entryList(QDir::Files), QStringList { "harvested.bmp" });
}

// A large folder shows its first picture at once and joins the set from
// the event loop. A picture the harvest writes meanwhile comes after all
// of the folder's own, and once.
TEST_F(PictureSetTest, LargeFolderIsListedFromTheEventLoop)
{
    constexpr int count = 3000;
    Write("p0.bmp");
    const QByteArray first = QFile::encodeName(Folder() + "p0.bmp");
    for (int i = 1; i < count; ++i)
        ASSERT_EQ(
            ::link(first.constData(), QFile::encodeName(Folder() + QString("p%1.bmp").arg(i)).constData()),
            0);
    for (const bool harvest : { false, true }) {
        SCOPED_TRACE(harvest ? "a picture harvested meanwhile" : "the listing runs to its end");
        NewSet();
        set->StartListing();
        EXPECT_TRUE(set->Listing());
        EXPECT_EQ(QFileInfo(shownPath).fileName(), "p0.bmp");
        if (harvest) {
            Write("harvested.bmp");
            set->Add(Folder() + "harvested.bmp");
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return !set->Listing(); }));
        QStringList names = FileNames(set->Pictures());
        EXPECT_EQ(names.last() == "harvested.bmp", harvest);
        EXPECT_EQ(names.size(), QDir(Folder()).entryList(QDir::Files).size());
        EXPECT_EQ(names.removeDuplicates(), 0);
        EXPECT_EQ(set->Thumbnails()->Paths(), set->Pictures());
        EXPECT_EQ(set->ShownNumber(), 1);
    }
}

} // namespace
} // namespace lumigrab
