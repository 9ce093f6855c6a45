#include "ui/FerroxApplication.h"

#include "core/AppException.h"

#include <exception>

namespace ferrox {

TFerroxApplication::TFerroxApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TFerroxApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        AppExceptionOfCurrent();
    }
    return false;
}

} // namespace ferrox
