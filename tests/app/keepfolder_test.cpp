// Keep a copy: byte for byte into the keep folder, numbered on a taken
// name, never through a planted link, never twice the same bytes, and a
// clear reason when it cannot.
#include "app/keepfolder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "base/classes.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::ReadFile;
using testing::WriteFile;

TEST(KeepFolder, CopiesByteForByteOnceUnderAFreeName)
{
    struct Case {
        const char* name;
        // What the keep folder holds before (name -> bytes; a name ending
        // in "@" is a link to a file outside, "!" makes the folder a file).
        std::vector<std::pair<QString, QByteArray>> before;
        QString keptAs;
        bool copied;
    };
    const QByteArray picture = testing::PictureBytes(QSize(20, 10), Qt::red);
    const Case cases[] = {
        { "IntoANewFolder", {}, "harbour.jpg", true },
        { "NameTakenByOtherBytes", { { "harbour.jpg", "other" } }, "harbour-1.jpg", true },
        { "SameBytesUnderAnotherName", { { "old.bmp", picture } }, "old.bmp", false },
        { "PlantedLink", { { "harbour.jpg@", {} } }, "harbour-1.jpg", true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir root;
        const QString source = root.filePath("TEMP/harbour.jpg");
        QDir().mkpath(root.filePath("TEMP"));
        WriteFile(source, picture);
        const QString keep = root.filePath("Pictures/Lumigrab");
        for (const auto& [name, bytes] : c.before) {
            QDir().mkpath(keep);
            if (name.endsWith('@')) {
                WriteFile(root.filePath("outside"), "precious");
                QFile::link(root.filePath("outside"), keep + "/" + name.chopped(1));
            } else {
                WriteFile(keep + "/" + name, bytes);
            }
        }
        const TKeepFolder::TKept kept = TKeepFolder(keep).Keep(source);
        EXPECT_EQ(kept.path, keep + "/" + c.keptAs);
        EXPECT_EQ(kept.copied, c.copied);
        EXPECT_EQ(ReadFile(kept.path), picture);
        EXPECT_EQ(ReadFile(source), picture);
        if (QFile::exists(root.filePath("outside"))) {
            EXPECT_EQ(ReadFile(root.filePath("outside")), "precious");
        }
        QFile::remove(source);
        EXPECT_TRUE(QFile::exists(kept.path)) << "a delete in the picture folder leaves the copy";
    }
}

TEST(KeepFolder, SaysWhyItCannotKeep)
{
    QTemporaryDir root;
    WriteFile(root.filePath("blocked"), "a file where the folder would be");
    WriteFile(root.filePath("harbour.jpg"), "bytes");
    try {
        TKeepFolder(root.filePath("blocked")).Keep(root.filePath("harbour.jpg"));
        ADD_FAILURE() << "kept into a file";
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.Message(), "Cannot keep harbour.jpg: the folder " + root.filePath("blocked").toStdString()
                + " cannot be made");
    }
    EXPECT_THROW(TKeepFolder(root.filePath("keep")).Keep(root.filePath("missing.jpg")), EInOutError);
    EXPECT_EQ(ShownPath(QDir::homePath() + "/Pictures/x.jpg"), "~/Pictures/x.jpg");
}

} // namespace
} // namespace lumigrab
