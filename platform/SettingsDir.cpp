#include "platform/SettingsDir.h"

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
std::string statePath;

std::string ExecutableDirectory() {
    std::string exe = ExecutablePath();
    return exe.empty() ? std::string() : WithTrailingSlash(DirectoryOf(exe));
}

// $variable/ferrox/, or ~/underHome/ferrox/ when the variable is unset, empty or relative
// (the base directory rules say a relative value is to be ignored); created when missing.
std::string UserDirectory(const char* variable, const char* underHome) {
    const char* xdg = std::getenv(variable);
    std::string home = HomeDirectory();
    if (home.empty())
        home = "/tmp";
    std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : JoinPath(home, underHome);
    std::string dir = JoinPath(WithoutTrailingSlash(base), "ferrox");
    // Failures show later, when a file is written there.
    MakeDirectories(dir);
    return WithTrailingSlash(dir);
}

} // namespace

bool IsInstalledProgram(const std::string& exeDirectory) {
    return exeDirectory.empty() || ::access(exeDirectory.c_str(), W_OK) != 0;
}

std::string SettingsDirectoryFor(const std::string& exeDirectory) {
    return IsInstalledProgram(exeDirectory) ? UserDirectory("XDG_CONFIG_HOME", ".config")
                                            : exeDirectory;
}

std::string StateDirectoryFor(const std::string& exeDirectory) {
    // The menu starts a program in whatever directory it likes (often the home directory),
    // and an installed program must not leave its log and backup there.
    return IsInstalledProgram(exeDirectory) ? UserDirectory("XDG_STATE_HOME", ".local/state")
                                            : std::string();
}

const std::string& SettingsDir() {
    std::call_once(exePathOnce, [] {
        const std::string exeDirectory = ExecutableDirectory();
        exePath = SettingsDirectoryFor(exeDirectory);
        statePath = StateDirectoryFor(exeDirectory);
    });
    return exePath;
}

const std::string& StatePath() {
    SettingsDir();
    return statePath;
}

void KeepStateBesideQueue() {
    SettingsDir();
    if (statePath.empty())
        statePath = exePath;
}

void SetSettingsDirForTesting(std::string directory, std::string stateDirectory) {
    std::call_once(exePathOnce, [] {});
    exePath = directory.empty() ? std::string(1, PathDelim) : WithTrailingSlash(directory);
    statePath = stateDirectory.empty() ? std::string() : WithTrailingSlash(stateDirectory);
}

} // namespace ferrox
