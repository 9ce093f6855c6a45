#include "persist/ExePath.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrox {

namespace {

std::once_flag exePathOnce;
std::string exePath;

std::string ExecutableDirectory() {
    std::string exe = ExecutablePath();
    return exe.empty() ? std::string() : AddSlash2(DirectoryOf(exe));
}

} // namespace

std::string SettingsDirectoryFor(const std::string& exeDirectory) {
    if (!exeDirectory.empty() && ::access(exeDirectory.c_str(), W_OK) == 0)
        return exeDirectory;
    // A relative $XDG_CONFIG_HOME is to be ignored, as every XDG-aware program does.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string home = HomeDirectory();
    if (home.empty())
        home = "/tmp";
    std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : home + "/.config";
    std::string dir = JoinPath(WithoutTrailingSlash(base), "ferrox");
    // Failures show later, when a file is written there.
    MakeDirectories(dir);
    return AddSlash2(dir);
}

const std::string& ExePath() {
    std::call_once(exePathOnce, [] { exePath = SettingsDirectoryFor(ExecutableDirectory()); });
    return exePath;
}

void SetExePathForTesting(std::string directory) {
    std::call_once(exePathOnce, [] {});
    exePath = directory.empty() ? std::string(1, PathDelim) : AddSlash2(directory);
}

} // namespace ferrox
