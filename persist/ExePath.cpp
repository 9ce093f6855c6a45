#include "persist/ExePath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

std::once_flag exePathOnce;
std::string exePath;

std::string ExecutableDirectory() {
    std::vector<char> buf(PATH_MAX + 1);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        }
        buf.resize(buf.size() * 2);
    }
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

// mkdir -p; existing directories are fine. Failures show later, when a file is written.
void MakeDirectories(const std::string& dir) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
                return;
        }
    }
}

} // namespace

std::string SettingsDirectoryFor(const std::string& exeDirectory) {
    if (!exeDirectory.empty() && ::access(exeDirectory.c_str(), W_OK) == 0)
        return exeDirectory;
    // A relative $XDG_CONFIG_HOME is to be ignored, as every XDG-aware program does.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : HomeDirectory() + "/.config";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    std::string dir = base + "/ferrox/";
    MakeDirectories(dir.substr(0, dir.size() - 1));
    return dir;
}

const std::string& ExePath() {
    std::call_once(exePathOnce, [] { exePath = SettingsDirectoryFor(ExecutableDirectory()); });
    return exePath;
}

void SetExePathForTesting(std::string directory) {
    std::call_once(exePathOnce, [] {});
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    exePath = std::move(directory);
}

} // namespace ferrox
