#include "app/WindowProgram.h"

#include "platform/FileSystem.h"
#include "platform/SettingsDir.h"
#include "ui/modMain/frmMain.h"
#include "ui/modPleaseWait/frmPleaseWait.h"
#include "ui/resources/AppIcon.h"

#include <QApplication>
#include <QSocketNotifier>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace ferrox {

namespace {

// How long a closed window waits for the run it aborted: with the close box's wait added,
// the program is gone within a second.
constexpr std::chrono::milliseconds RunEndWait{500};

void PrintError(const std::string& text) {
    const std::string line = "ferrox: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// The window may live for days: holding on to the folder its command was given in would
// keep that folder's file system from being unmounted. Every path was made absolute
// before this. The home directory is where the file dialogs start without a folder.
void LeaveWorkingDirectory() {
    const std::string home = HomeDirectory();
    if (home.empty() || home.front() != '/' || ::chdir(home.c_str()) != 0)
        if (::chdir("/") != 0)
            PrintError("cannot leave the working directory");
}

} // namespace

int RunWindow(const TCommandLine& command, std::unique_ptr<TInstanceListener> listener) {
    // What the working directory took, the log and the queue's backup, needs a place
    // of its own before the core logs anything.
    KeepStateBesideQueue();
    LeaveWorkingDirectory();
    QApplication::setApplicationName("Ferrox");
    // Lets the desktop match the window to the installed desktop entry (its icon and name in
    // the task bar; on Wayland the window's app id).
    QGuiApplication::setDesktopFileName("org.ferrox.Ferrox");
    QApplication::setWindowIcon(FerroxIcon());
    TfrmMain frmMain;
    frmMain.show();
    // The please-wait window comes after the main window and stays hidden until a long
    // queue operation shows it.
    TfrmPleaseWait frmPleaseWait(&frmMain);
    frmMain.SetPleaseWait(&frmPleaseWait);
    // The queue is loaded by now. This command line's own request goes first, then those
    // of the callers that came meanwhile.
    if (command.Action == TCommandLine::Queue)
        frmMain.RunRequest([&frmMain, request = command.Request] {
            const TQueueAnswer answer = frmMain.Core().QueueFromOutside(request);
            if (!answer.Reason.empty())
                PrintError(answer.Reason);
        });
    // Other `ferrox` commands: each request waits, as a list command, for a queue load or
    // save under way and for the requests before it. The window's event loop drives the
    // server.
    std::unique_ptr<TInstanceServer> server;
    std::unique_ptr<QSocketNotifier> serverDue;
    if (listener) {
        TInstanceHandlers handlers;
        handlers.Apply = [&frmMain](const TQueueRequest& request, TAnswerRequest answer) {
            frmMain.RunRequest([&frmMain, request, answer = std::move(answer)] {
                answer(frmMain.Core().QueueFromOutside(request));
            });
        };
        handlers.Refused = [&frmMain](const std::string& why) {
            frmMain.Core().RequestRefused(why);
        };
        server = std::make_unique<TInstanceServer>(std::move(listener), std::move(handlers));
        if (server->Fd() >= 0) {
            serverDue = std::make_unique<QSocketNotifier>(server->Fd(), QSocketNotifier::Read);
            QObject::connect(serverDue.get(), &QSocketNotifier::activated,
                             [&server] { server->Serve(); });
        }
    }
    const int rc = QApplication::exec();
    // Callers still waiting learn that the window closed; the socket goes with it.
    serverDue.reset();
    server.reset();
    if (!frmMain.Core().RunEndedWithin(RunEndWait)) {
        // Its file is abandoned as Abort abandons it: an unnamed file goes with the
        // process, a named temporary is recognised and removed by the next run. The queue
        // file was not to be saved; its lock goes with the process.
        std::fflush(nullptr);
        std::_Exit(rc);
    }
    frmMain.SetPleaseWait(nullptr);
    return rc;
}

} // namespace ferrox
