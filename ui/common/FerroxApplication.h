#pragma once
#include <QApplication>
#include <functional>

namespace ferrox {

// The application object: an exception that an event handler leaves goes to the main
// window's handler (three log lines) and the program goes on with the next event.
class TFerroxApplication : public QApplication {
public:
    TFerroxApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // Called inside the catch block; set by the main window while it has a core.
    std::function<void()> OnUnhandledException;
};

} // namespace ferrox
