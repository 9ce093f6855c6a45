#include "ui/common/FerroxApplication.h"

#include "core/AppException.h"
#include "diag/StatusLine.h"

#include <exception>

namespace ferrox {

TFerroxApplication::TFerroxApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TFerroxApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        if (OnUnhandledException) {
            OnUnhandledException();
        } else {
            // No window yet or any more: the log still gets it.
            static TStatusLine nowhere;
            AppExceptionOfCurrent(nowhere);
        }
    }
    return false;
}

} // namespace ferrox
