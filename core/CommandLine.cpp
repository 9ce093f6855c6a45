#include "core/CommandLine.h"

#include "core/UriList.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace ferrox {

const char* const CommandLineHelp =
    "usage: ferrox [--to DIR] [--move] [--copy-now] [--] [PATH...]\n"
    "\n"
    "Queues files and folders in this user's Ferrox window, as if they were dropped on\n"
    "its source list, and starts the window when none is running. Without arguments\n"
    "Ferrox opens its window.\n"
    "\n"
    "  --to DIR     copy these PATHs into DIR; without a PATH, give DIR to the\n"
    "               queued lines that have no destination\n"
    "  --move       the queued lines are moves: their sources go once copied\n"
    "  --copy-now   start the run once the paths are queued, unless one is going on\n"
    "  --           end of options: every argument after it is a PATH\n"
    "  -h, --help   show this help\n"
    "  --version    show the version\n"
    "\n"
    "A PATH or DIR may be relative to the working directory, or a local file: URL.\n"
    "\n"
    "Exit status: 0 queued, 1 the running window refused the request (the reason is on\n"
    "stderr), 2 bad usage or a PATH or DIR that does not exist; nothing is queued then.\n";

namespace {

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

bool IsSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alpha || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

// "scheme://...": a URL of another kind than file:, which names nothing on this disk.
bool IsOtherUrl(std::string_view arg) {
    const size_t colon = arg.find("://");
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (size_t i = 0; i < colon; ++i)
        if (!IsSchemeChar(arg[i], i == 0))
            return false;
    return true;
}

std::string RealPath(const std::string& path, int& error) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) {
        error = errno;
        return {};
    }
    return real.get();
}

// A PATH or DIR as given, as an absolute path; empty with `fault` set when it cannot be.
std::string LocalPathOf(const std::string& arg, const std::string& workingDirectory,
                        std::string& fault) {
    std::string path = arg;
    if (StartsWithIgnoringCase(arg, "file:")) {
        // One argument is one URL: a line break in it is no part of a name (one there
        // is escaped), and would otherwise smuggle in a second path.
        std::vector<std::string> paths;
        if (arg.find_first_of("\r\n") == std::string::npos)
            paths = ReadUriList(arg).LocalPaths;
        if (paths.size() != 1) {
            fault = "not a local path";
            return {};
        }
        path = std::move(paths.front());
    } else if (IsOtherUrl(arg)) {
        fault = "not a local path";
        return {};
    }
    if (path.empty()) {
        fault = SysErrorMessage(ENOENT);
        return {};
    }
    if (path.front() != '/' && workingDirectory.empty()) {
        fault = "the working directory cannot be read";
        return {};
    }
    int error = 0;
    std::string absolute = AbsolutePath(path, workingDirectory, error);
    if (error != 0)
        fault = SysErrorMessage(error);
    return absolute;
}

std::string Quoted(const std::string& arg) {
    return "'" + arg + "'";
}

} // namespace

std::string AbsolutePath(std::string_view path, std::string_view workingDirectory, int& error) {
    error = 0;
    // Built without its leading '/' being counted: "" stands for the root.
    std::string out;
    if (path.empty() || path.front() != '/')
        out = WithoutTrailingSlash(workingDirectory);
    if (out == "/")
        out.clear();
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view name = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (name.empty() || name == ".")
            continue;
        if (name != "..") {
            out += '/';
            out += name;
            continue;
        }
        if (out.empty())
            continue; // "/.." is "/"
        // "link/.." is the parent of where the link leads, not the directory holding it.
        struct stat st;
        if (::lstat(out.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            out = RealPath(out, error);
            if (error != 0)
                return {};
        }
        out.erase(out.rfind('/'));
    }
    return out.empty() ? std::string(1, '/') : out;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args,
                              const std::string& workingDirectory) {
    TCommandLine result;
    if (args.empty())
        return result;
    std::vector<std::string> pathArgs;
    std::optional<std::string> destinationArg;
    bool help = false, version = false, optionsEnded = false;
    std::vector<std::string>& errors = result.Errors;
    auto takeDestination = [&](const std::string& value) {
        if (destinationArg)
            errors.push_back("option '--to' given twice");
        destinationArg = value;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // "-" alone names a file called so, as it would for cp.
        if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
            pathArgs.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--move") {
            result.Request.Move = true;
        } else if (arg == "--copy-now") {
            result.Request.CopyNow = true;
        } else if (arg == "--to") {
            if (i + 1 < args.size())
                takeDestination(args[++i]);
            else
                errors.push_back("option '--to' needs a folder");
        } else if (arg.starts_with("--to=")) {
            takeDestination(arg.substr(5));
        } else {
            errors.push_back("unknown option " + Quoted(arg));
        }
    }
    if (help) {
        result.Action = TCommandLine::ShowHelp;
        return result;
    }
    if (version) {
        result.Action = TCommandLine::ShowVersion;
        return result;
    }
    if (result.Request.Move && pathArgs.empty())
        errors.push_back("option '--move' needs a PATH");

    for (const std::string& arg : pathArgs) {
        std::string fault;
        std::string path = LocalPathOf(arg, workingDirectory, fault);
        if (fault.empty()) {
            // Links are followed: a dangling one has nothing to copy.
            const TFileIdentity found = GetFileIdentityFollow(path);
            if (!found.Valid)
                fault = SysErrorMessage(found.Error);
        }
        if (!fault.empty())
            errors.push_back("cannot queue " + Quoted(arg) + ": " + fault);
        else
            result.Request.Paths.push_back(std::move(path));
    }
    if (destinationArg) {
        std::string fault;
        std::string path = LocalPathOf(*destinationArg, workingDirectory, fault);
        if (fault.empty())
            if (int error = CheckDirectory(path))
                fault = SysErrorMessage(error);
        if (!fault.empty())
            errors.push_back("cannot queue into " + Quoted(*destinationArg) + ": " + fault);
        else
            result.Request.Destination = std::move(path);
    }
    result.Action = errors.empty() ? TCommandLine::Queue : TCommandLine::BadUsage;
    return result;
}

} // namespace ferrox
