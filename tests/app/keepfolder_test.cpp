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

TEST(KeepFolder, CopiesByteForByteOnceUnderAFreeNameOrSaysWhyNot)
{
    const QByteArray picture = testing::PictureBytes(QSize(20, 10), Qt::red);
    const struct {
        const char* name;
        // What the keep folder holds first: a name ending in "@" is a link
        // to a file outside; "!" puts a file where the folder would be.
        std::vector<std::pair<QString, QByteArray>> before;
        QString keptAs;
        bool copied;
        // The error's text after the root folder, when it cannot keep.
        std::string error = "";
    } cases[] = {
        { "IntoANewFolder", {}, "harbour.jpg", true },
        { "NameTakenByOtherBytes", { { "harbour.jpg", "other" } }, "harbour-1.jpg", true },
        { "SameBytesUnderAnotherName", { { "old.bmp", picture } }, "old.bmp", false },
        { "PlantedLink", { { "harbour.jpg@", {} } }, "harbour-1.jpg", true },
        { "FolderIsAFile", { { "!", {} } }, "", false, "/keep cannot be made" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir root;
        const QString source = root.filePath("harbour.jpg"), keep = root.filePath("keep");
        WriteFile(source, picture);
        WriteFile(root.filePath("outside"), "precious");
        for (const auto& [name, bytes] : c.before) {
            if (name == "!")
                WriteFile(keep, "a file");
            else if (QDir().mkpath(keep) && name.endsWith('@'))
                QFile::link(root.filePath("outside"), keep + "/" + name.chopped(1));
            else
                WriteFile(keep + "/" + name, bytes);
        }
        try {
            const TKeepFolder::TKept kept = TKeepFolder(keep).Keep(source);
            EXPECT_EQ(kept.path, keep + "/" + c.keptAs);
            EXPECT_EQ(kept.copied, c.copied);
            EXPECT_EQ(ReadFile(kept.path), picture);
            QFile::remove(source);
            EXPECT_TRUE(QFile::exists(kept.path)) << "a delete in the picture folder leaves the copy";
        } catch (const EInOutError& error) {
            EXPECT_EQ(error.Message(), "Cannot keep harbour.jpg: the folder " + root.path().toStdString() + c.error);
        }
        EXPECT_EQ(ReadFile(root.filePath("outside")), "precious");
    }
    EXPECT_THROW(TKeepFolder(QDir::tempPath()).Keep(QDir::tempPath() + "/missing.jpg"), EInOutError);
    EXPECT_EQ(ShownPath(QDir::homePath() + "/Pictures/x.jpg"), "~/Pictures/x.jpg");
}

} // namespace
} // namespace lumigrab
