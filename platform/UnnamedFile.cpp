#include "platform/UnnamedFile.h"

#include "platform/Path.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/random.h>
#include <unistd.h>

namespace ferrox {

namespace {

constexpr char TempPrefix[] = ".ferrox-";
constexpr char TempSuffix[] = ".part";
constexpr size_t TempPrefixLen = sizeof TempPrefix - 1;
constexpr size_t TempSuffixLen = sizeof TempSuffix - 1;
constexpr size_t TempRandomLen = 6;

} // namespace

// A fresh temporary name of ours: prefix, random letters and digits, suffix.
std::string RandomTempName() {
    static constexpr char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[TempRandomLen];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Entropy is not a matter here, only a fresh name; the callers retry on a clash.
        static std::atomic<uint32_t> counter{0};
        uint32_t seed = static_cast<uint32_t>(::getpid()) * 2654435761u + counter++;
        for (auto& b : bytes) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<unsigned char>(seed >> 16);
        }
    }
    std::string name(TempPrefix);
    for (unsigned char b : bytes)
        name += Alphabet[b % (sizeof Alphabet - 1)];
    name += TempSuffix;
    return name;
}

std::string NumberedName(std::string_view name, int n) {
    // The extension is what follows the last dot, unless that dot starts the name.
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        dot = name.size();
    std::string numbered(name.substr(0, dot));
    numbered += " (" + std::to_string(n) + ")";
    numbered += name.substr(dot);
    return numbered;
}

// Gives the unnamed file its name; 0 or errno (EEXIST when the name is taken).
int LinkUnnamed(int fd, int dirFd, const char* name) {
    // Linking a descriptor directly needs a capability on older kernels; /proc names the
    // file for everyone else, at the price of a walk through /proc.
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL)
            return errno;
    }
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const int error = ::linkat(AT_FDCWD, proc, dirFd, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    // The direct form is given up only once /proc has worked where it did not: ENOENT
    // also comes from a directory removed meanwhile, and /proc may be missing.
    if (error == 0 || error == EEXIST)
        emptyPathRefused.store(true, std::memory_order_relaxed);
    return error;
}

// Puts the complete unnamed file in place of an existing target: a named link beside
// it, renamed over it at once, so the name exists only for the moment between the two.
int ReplaceWithUnnamed(int fd, int dirFd, const char* name) {
    std::string temp;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        temp = RandomTempName();
        error = LinkUnnamed(fd, dirFd, temp.c_str());
    }
    if (error != 0)
        return error;
    if (::renameat(dirFd, temp.c_str(), dirFd, name) != 0) {
        error = errno;
        ::unlinkat(dirFd, temp.c_str(), 0);
    }
    return error;
}

// A named temporary file in dirFd, for file systems without unnamed files.
int CreateNamedTemp(int dirFd, std::string& temp, int& error) {
    error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        temp = RandomTempName();
        int fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            error = 0;
            return fd;
        }
        error = errno;
    }
    return -1;
}

bool IsCopyTempName(const std::string& name) {
    std::string_view base = NameView(name);
    if (base.size() != TempPrefixLen + TempRandomLen + TempSuffixLen ||
        !base.starts_with(TempPrefix) || !base.ends_with(TempSuffix))
        return false;
    for (size_t i = TempPrefixLen; i < TempPrefixLen + TempRandomLen; ++i) {
        char c = base[i];
        bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

} // namespace ferrox
