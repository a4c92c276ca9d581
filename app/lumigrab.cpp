// Lumigrab, the picture browser for Usenet: the program users run.
#include <QApplication>
#include <QCoreApplication>

#include "base/desktopentry.h"
#include "base/messagepump.h"
#include "message/msaddred.h"
#include "nntpmain.h"
#include "toolglyphs.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    // The application's title. Set as its name rather than its display
    // name, which Qt would append to every dialog's caption.
    QApplication::setApplicationName(QStringLiteral("Lumigrab - Image Browser"));
    QApplication::setDesktopFileName(QLatin1String(lumigrab::DesktopEntryId));
    QApplication::setWindowIcon(lumigrab::LumigrabIcon());
    lumigrab::InstallMailAddressEditor();
    // Long decodes let the window breathe, as network waits do.
    lumigrab::SetMessagePump([] { QCoreApplication::processEvents(); });

    lumigrab::TfrmMain frmMain;
    frmMain.show();
    return application.exec();
}
