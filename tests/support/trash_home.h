// A home of the test's own for the desktop trash: XDG_DATA_HOME points into
// a temporary folder for the test's length, with a picture folder TEMP/
// beside the trash.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace lumigrab::testing {

class TrashHomeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        previousDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("share")));
        QDir().mkpath(Folder());
        QDir().mkpath(home.filePath("share"));
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", previousDataHome); }

    QString Folder() const { return home.filePath("TEMP/"); }
    QString Trash() const { return home.filePath("share/Trash/"); }

    QTemporaryDir home;
    QByteArray previousDataHome;
};

} // namespace lumigrab::testing
