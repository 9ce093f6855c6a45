#pragma once
#include <QApplication>

namespace ferrox {

// The application object: an exception that an event handler leaves goes to
// AppException (three log lines) and the program goes on with the next event.
class TFerroxApplication : public QApplication {
public:
    TFerroxApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace ferrox
