#include "diag/Trace.h"
#include "ui/modMain/frmMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Ferrox");
    ferrox::TraceCreate();
    ferrox::TfrmMain frmMain;
    frmMain.show();
    int rc = QApplication::exec();
    ferrox::TraceRelease();
    return rc;
}
