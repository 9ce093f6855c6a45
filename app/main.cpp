#include "ui/FerroxApplication.h"
#include "ui/modMain/frmMain.h"
#include "ui/modPleaseWait/frmPleaseWait.h"
#include "ui/resources/AppIcon.h"

int main(int argc, char** argv) {
    ferrox::TFerroxApplication app(argc, argv);
    QApplication::setApplicationName("Ferrox");
    // Lets the desktop match the window to the installed desktop entry (its icon and name in
    // the task bar; on Wayland the window's app id).
    QGuiApplication::setDesktopFileName("org.ferrox.Ferrox");
    QApplication::setWindowIcon(ferrox::FerroxIcon());
    ferrox::TfrmMain frmMain;
    frmMain.show();
    // The please-wait window comes after the main window and stays hidden until a long
    // queue operation shows it.
    ferrox::TfrmPleaseWait frmPleaseWait(&frmMain);
    frmMain.SetPleaseWait(&frmPleaseWait);
    const int rc = QApplication::exec();
    frmMain.SetPleaseWait(nullptr);
    return rc;
}
