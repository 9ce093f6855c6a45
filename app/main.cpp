#include "ui/FerroxApplication.h"
#include "ui/modMain/frmMain.h"

#include <QIcon>

int main(int argc, char** argv) {
    ferrox::TFerroxApplication app(argc, argv);
    QApplication::setApplicationName("Ferrox");
    QApplication::setWindowIcon(QIcon(":/ferrox/ferrox.svg"));
    ferrox::TfrmMain frmMain;
    frmMain.show();
    // The please-wait window comes after the main window and stays hidden until a long
    // queue operation shows it.
    // ferrox::TfrmPleaseWait frmPleaseWait(&frmMain); frmMain.SetPleaseWait(&frmPleaseWait);
    return QApplication::exec();
}
