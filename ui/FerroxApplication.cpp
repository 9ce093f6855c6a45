#include "ui/FerroxApplication.h"

#include "core/AppException.h"

#include <exception>

namespace ferrox {

TFerroxApplication::TFerroxApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TFerroxApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        AppException(e.what());
    } catch (...) {
        AppException("unknown exception");
    }
    return false;
}

} // namespace ferrox
