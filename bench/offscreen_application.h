// The QApplication of a widget benchmark: Qt's offscreen platform, and a
// settings folder of its own, so that no benchmark reads or writes the
// user's settings.
#pragma once

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

namespace lumigrab::bench {

inline void EnsureOffscreenApplication()
{
    static QTemporaryDir config;
    // Never destroyed: at exit Qt's own globals may be gone before it.
    static QApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        static int argc = 1;
        static char name[] = "lumigrab_bench";
        static char* argv[] = { name, nullptr };
        return new QApplication(argc, argv);
    }();
    (void)application;
}

} // namespace lumigrab::bench
