// Files that cannot be shown go to the trash: the first few one by one, a
// flood as one folder; what no trash takes stays in the picture folder, and
// a batch a killed run left goes at the next send.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/trashbatch.h"
#include "tests/support/trash_home.h"

namespace lumigrab {
namespace {

class TrashBatchTest : public testing::TrashHomeTest {
protected:
    QString TrashFiles() const { return Trash() + "files/"; }

    void Write(const QString& path)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(path.toUtf8());
    }

    // Each trash entry, a folder as "NAME/" followed by its file count.
    QStringList TrashEntries() const
    {
        QStringList entries;
        for (const QFileInfo& entry : QDir(TrashFiles()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot,
                 QDir::Name)) {
            entries << (entry.isDir() ? QStringLiteral("%1/ %2")
                                            .arg(entry.fileName().section(',', 0, 0))
                                            .arg(QDir(entry.filePath()).entryList(QDir::Files).size())
                                      : entry.fileName());
        }
        return entries;
    }
};

TEST_F(TrashBatchTest, AFewGoOneByOneAFloodAsOneFolder)
{
    struct Case {
        const char* name;
        int files;
        bool trashWorks;
        QStringList fates; // per file: T trashed, G gathered, S stayed
        QStringList trash;
        int left; // files still in the picture folder after Send
        int sendSays;
    };
    const Case cases[] = {
        { "fewer than the single files", 2, true, { "T", "T" }, { "f0.jpg", "f1.jpg" }, 0, 0 },
        { "a flood", 5, true, { "T", "T", "G", "G", "G" },
            { "3 files Lumigrab could not show/ 3", "f0.jpg", "f1.jpg" }, 0, 0 },
        { "no trash at all", 4, false, { "S", "S", "G", "G" }, {}, 4, 2 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(Folder()).removeRecursively();
        QDir(home.filePath("share/Trash")).removeRecursively();
        QDir().mkpath(Folder());
        const auto move = [&](const QString& path) { return c.trashWorks && QFile::moveToTrash(path); };
        TTrashBatch batch(Folder(), move, 2);
        QStringList fates;
        for (int i = 0; i < c.files; ++i) {
            const QString path = Folder() + QString("f%1.jpg").arg(i);
            Write(path);
            const TTrashBatch::TFate fate = batch.Add(path);
            fates << (fate == TTrashBatch::TFate::Trashed ? "T" : fate == TTrashBatch::TFate::Gathered ? "G" : "S");
        }
        EXPECT_EQ(fates, c.fates);
        QString why;
        EXPECT_EQ(batch.Send(why), c.sendSays) << why.toStdString();
        EXPECT_EQ(TrashEntries(), c.trash);
        EXPECT_EQ(QDir(Folder()).entryList(QDir::Files).size(), c.left);
        EXPECT_FALSE(QFileInfo::exists(Folder() + TTrashBatch::GatherFolderName));
        EXPECT_EQ(QDir(Folder()).entryList(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }
}

// A run killed before it sent its batch: the files wait in the hidden
// folder, never shown, and go with the next send.
TEST_F(TrashBatchTest, WhatAKilledRunGatheredGoesAtTheNextSend)
{
    const QString gather = Folder() + TTrashBatch::GatherFolderName;
    QDir().mkpath(gather);
    Write(gather + "/left.jpg");
    TTrashBatch batch(Folder(), [](const QString& path) { return QFile::moveToTrash(path); });
    QString why;
    EXPECT_EQ(batch.Send(why), 0);
    EXPECT_EQ(TrashEntries(), QStringList { "1 files Lumigrab could not show/ 1" });
    EXPECT_FALSE(QFileInfo::exists(gather));
}

} // namespace
} // namespace lumigrab
