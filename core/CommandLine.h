#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/instance/QueueRequest.h"

namespace ferrox {

// What `ferrox [OPTIONS] [PATH...]` asks for.
struct TCommandLine {
    enum TAction {
        OpenWindow,  // no arguments: the window, as ever
        Queue,       // Request, checked: every path exists, the destination is a folder
        ShowHelp,    // --help
        ShowVersion, // --version
        BadUsage,    // Errors; nothing may be queued
    } Action = OpenWindow;
    TQueueRequest Request;
    std::vector<std::string> Errors; // one line each, naming the argument at fault
};

// The arguments after the program's name, as the bytes they are. A relative PATH or DIR
// is taken from workingDirectory (the caller's; empty when it could not be read, and then
// a relative one is a fault). A PATH or DIR may be a local file: URL.
TCommandLine ParseCommandLine(const std::vector<std::string>& args,
                              const std::string& workingDirectory);

// `path` made absolute against workingDirectory, byte for byte: repeated and trailing '/'
// and "." go, so the line's name is the file's own; ".." takes the name before it away,
// and when that name is a symbolic link it leads from where the link leads, as the kernel
// would. Empty, with `error` set, when a link cannot be followed.
std::string AbsolutePath(std::string_view path, std::string_view workingDirectory, int& error);

// The text of --help.
extern const char* const CommandLineHelp;

} // namespace ferrox
