#include "app/WindowProgram.h"
#include "core/CommandLine.h"
#include "core/instance/SingleInstance.h"
#include "platform/SysError.h"
#include "ui/common/FerroxApplication.h"

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
    return RunWindow(command, std::move(listener));
}
