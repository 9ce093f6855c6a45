#include "app/HandOver.h"
#include "core/CommandLine.h"
#include "platform/LocalSocket.h"
#include "platform/SysError.h"
#include "ui/common/FerroxApplication.h"
#include "ui/common/InstanceServer.h"
#include "ui/modMain/frmMain.h"
#include "ui/modPleaseWait/frmPleaseWait.h"
#include "ui/resources/AppIcon.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The working directory as the kernel has it, however long; empty when it cannot be read
// (it was removed, say).
std::string WorkingDirectory() {
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

// Paths are bytes: written as they are, whatever the terminal's encoding.
void PrintError(const std::string& text) {
    const std::string line = "ferrox: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

int main(int argc, char** argv) {
    using namespace ferrox;
    // Read before anything of Qt starts: handing a request to a running window needs no
    // display, and a second window must not flash up for it.
    const std::vector<std::string> args(argv + 1, argv + argc);
    const TCommandLine command =
        ParseCommandLine(args, args.empty() ? std::string() : WorkingDirectory());
    switch (command.Action) {
    case TCommandLine::ShowHelp:
        std::fputs(CommandLineHelp, stdout);
        return 0;
    case TCommandLine::ShowVersion:
        std::printf("ferrox %s\n", FERROX_VERSION);
        return 0;
    case TCommandLine::BadUsage:
        for (const std::string& error : command.Errors)
            PrintError(error);
        std::fputs("Try 'ferrox --help' for more.\n", stderr);
        return 2;
    case TCommandLine::OpenWindow:
    case TCommandLine::Queue:
        break;
    }
    const bool queue = command.Action == TCommandLine::Queue;

    std::unique_ptr<TInstanceListener> listener;
    if (const auto places = InstancePlacesFromEnvironment()) {
        TInstanceClaim claim = ClaimInstance(*places);
        if (claim.Kind == TInstanceClaim::Connected) {
            // Without arguments Ferrox opens a window of its own, as it always has.
            if (queue) {
                const THandOverResult result =
                    HandOver(std::move(claim.Connection), command.Request, places->Socket);
                if (!result.Message.empty())
                    PrintError(result.Message);
                return result.ExitStatus;
            }
        } else if (claim.Kind == TInstanceClaim::Listening) {
            listener = std::move(claim.Listener);
        } else if (queue) {
            PrintError("cannot look for a running window (" + claim.Where + ": " +
                       SysErrorMessage(claim.Error) + "); opening one");
        }
    }

    // Qt would take a PATH such as "-style" for one of its own options: it gets none.
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};
    TFerroxApplication app(qtArgc, qtArgv);
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
    if (queue)
        frmMain.RunRequest([&frmMain, request = command.Request] {
            const TQueueAnswer answer = frmMain.Core().QueueFromOutside(request);
            if (!answer.Reason.empty())
                PrintError(answer.Reason);
        });
    std::unique_ptr<TInstanceServer> server;
    if (listener)
        server = std::make_unique<TInstanceServer>(std::move(listener), frmMain);
    const int rc = QApplication::exec();
    // Callers still waiting learn that the window closed; the socket goes with it.
    server.reset();
    frmMain.SetPleaseWait(nullptr);
    return rc;
}
