// Restoring what this session moved to the trash: the newest copy of a
// name first, never over a file that took its place, and forgetting what
// the trash no longer holds.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/trashundo.h"
#include "tests/support/trash_home.h"

namespace lumigrab {
namespace {

class TrashUndoTest : public testing::TrashHomeTest {
protected:
    using TrashHomeTest::Trash;

    // Writes name with bytes and moves it to the trash from place index.
    void Trash(const QString& name, const QByteArray& bytes, int index)
    {
        QFile file(Folder() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        QString pathInTrash;
        ASSERT_TRUE(QFile::moveToTrash(Folder() + name, &pathInTrash));
        undo.Push(Folder() + name, index, pathInTrash);
    }

    static QByteArray Read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    }

    qsizetype TrashEntries() const { return QDir(Trash() + "info").entryList(QDir::Files).size(); }

    TTrashUndo undo;
};

TEST_F(TrashUndoTest, RestoresLastFirstTheNewestCopyOfEachName)
{
    const QString odd = QString::fromUtf8("caf\u00e9 100% #1.jpg");
    Trash("a.jpg", "first a", 0);
    Trash(odd, "odd name", 4);
    Trash("a.jpg", "second a", 2);
    ASSERT_EQ(TrashEntries(), 3);
    struct Expected {
        QString name;
        QByteArray bytes;
        int index;
    };
    const Expected expected[] = { { "a.jpg", "second a", 2 }, { odd, "odd name", 4 } };
    QString why;
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name.toStdString());
        const std::optional<TTrashUndo::Trashed> restored = undo.RestoreLast(why);
        ASSERT_TRUE(restored) << why.toStdString();
        EXPECT_EQ(restored->path, Folder() + e.name);
        EXPECT_EQ(restored->index, e.index);
        EXPECT_EQ(Read(Folder() + e.name), e.bytes);
        QFile::remove(Folder() + e.name); // so that the older a.jpg has its place free
    }
    EXPECT_EQ(TrashEntries(), 1);
    // The older a.jpg comes back once its place is free.
    ASSERT_TRUE(undo.RestoreLast(why));
    EXPECT_EQ(Read(Folder() + "a.jpg"), "first a");
    EXPECT_EQ(TrashEntries(), 0);
    EXPECT_TRUE(undo.Empty());
    EXPECT_FALSE(undo.RestoreLast(why));
    EXPECT_EQ(why, "");
}

TEST_F(TrashUndoTest, NeverOverAFileInItsPlaceAndForgetsWhatTheTrashLost)
{
    Trash("gone.jpg", "emptied away", 0);
    Trash("taken.jpg", "old taken", 1);
    QFile taken(Folder() + "taken.jpg");
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("new taken");
    taken.close();

    QString why;
    EXPECT_FALSE(undo.RestoreLast(why));
    EXPECT_EQ(why, "Cannot restore taken.jpg: another file of that name is in its place");
    EXPECT_EQ(Read(Folder() + "taken.jpg"), "new taken");
    QFile::remove(Folder() + "taken.jpg");
    ASSERT_TRUE(undo.RestoreLast(why)) << why.toStdString();
    EXPECT_EQ(Read(Folder() + "taken.jpg"), "old taken");

    QDir(Trash()).removeRecursively();
    EXPECT_FALSE(undo.RestoreLast(why));
    EXPECT_EQ(why, "Cannot restore gone.jpg: it is no longer in the trash");
    EXPECT_TRUE(undo.Empty());
}

} // namespace
} // namespace lumigrab
