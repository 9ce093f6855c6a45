#include "platform/Trash.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <stdio.h> // renameat2
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrox {

namespace {

// Drops empty and "." components; ".." stays, since undoing it would need the real
// directories (a link may stand before it).
std::string Tidy(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    size_t i = 0;
    while (i < path.size()) {
        size_t end = path.find(PathDelim, i);
        if (end == std::string::npos)
            end = path.size();
        std::string_view part(path.data() + i, end - i);
        if (!part.empty() && part != ".") {
            out += PathDelim;
            out.append(part);
        }
        i = end + 1;
    }
    return out.empty() ? "/" : out;
}

std::string CurrentDirectory() {
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf))
        return {};
    return buf;
}

// A trash directory and its info/ and files/ underneath, created (0700) when missing.
int EnsureTrashDirs(const std::string& trash) {
    for (const char* sub : {"", "files", "info"}) {
        std::string dir = *sub ? JoinPath(trash, sub) : trash;
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0)
            return errno;
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
    }
    return 0;
}

// The device the home trash lives on, or will once created.
bool HomeTrashDevice(const std::string& trash, dev_t& device) {
    std::string dir = trash;
    for (;;) {
        struct stat st;
        if (::stat(dir.c_str(), &st) == 0) {
            device = st.st_dev;
            return true;
        }
        if (dir == "/" || dir.empty())
            return false;
        dir = DirectoryOf(dir);
    }
}

// The mount point above dir (an absolute path free of links): the highest ancestor still
// on device.
std::string TopDirectory(const std::string& dir, dev_t device) {
    std::string top = dir;
    while (top != "/") {
        std::string parent = DirectoryOf(top);
        struct stat st;
        if (::stat(parent.c_str(), &st) != 0 || st.st_dev != device)
            break;
        top = parent;
    }
    return top;
}

// The trash of a mount: $topdir/.Trash/$uid when an administrator prepared a shared,
// sticky .Trash, else our own $topdir/.Trash-$uid. Empty with an errno when neither works.
std::string TopDirTrash(const std::string& top, int& error) {
    std::string uid = std::to_string(::getuid());
    std::string shared = JoinPath(top, ".Trash");
    struct stat st;
    // A link or a non-sticky .Trash could be someone's trap to collect our files.
    if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        std::string trash = JoinPath(shared, uid);
        struct stat own;
        if (EnsureTrashDirs(trash) == 0 && ::lstat(trash.c_str(), &own) == 0 &&
            S_ISDIR(own.st_mode) && own.st_uid == ::getuid())
            return trash;
    }
    std::string trash = JoinPath(top, ".Trash-" + uid);
    if (::mkdir(trash.c_str(), 0700) != 0 && errno != EEXIST) {
        error = errno;
        return {};
    }
    if (::lstat(trash.c_str(), &st) != 0) {
        error = errno;
        return {};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        error = EXDEV;
        return {};
    }
    error = EnsureTrashDirs(trash);
    return error == 0 ? trash : std::string();
}

std::string DeletionDate() {
    time_t now = ::time(nullptr);
    struct tm local;
    char buf[32];
    if (!::localtime_r(&now, &local) ||
        ::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local) == 0)
        return "1970-01-01T00:00:00";
    return buf;
}

int WriteInfo(int fd, const std::string& encodedPath) {
    std::string text =
        "[Trash Info]\nPath=" + encodedPath + "\nDeletionDate=" + DeletionDate() + "\n";
    if (int error = WriteAll(fd, text))
        return error;
    // The info is what makes the file restorable: it must be on disk before the file moves.
    if (::fsync(fd) != 0)
        return errno;
    return 0;
}

// Moves dirFd/name into trash as the first free NAME, NAME.2, NAME.3, ...
int MoveInto(int dirFd, const std::string& name, const std::string& trash,
             const std::string& encodedPath) {
    std::string infoDir = JoinPath(trash, "info");
    std::string filesDir = JoinPath(trash, "files");
    for (unsigned n = 1; n < 100000; ++n) {
        std::string entry = n == 1 ? name : name + "." + std::to_string(n);
        std::string info = JoinPath(infoDir, entry + ".trashinfo");
        // O_EXCL is what keeps two trashings of the same name apart.
        int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        int error = WriteInfo(fd, encodedPath);
        if (::close(fd) != 0 && error == 0 && errno != EINTR)
            error = errno;
        if (error != 0) {
            ::unlink(info.c_str());
            return error;
        }
        std::string dest = JoinPath(filesDir, entry);
        // A files/ entry without its info (left by a crash of some other program) must not
        // be overwritten: RENAME_NOREPLACE where the file system has it, lstat otherwise.
        if (::renameat2(dirFd, name.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        error = errno;
        if (error == EINVAL || error == ENOSYS) {
            struct stat st;
            if (::lstat(dest.c_str(), &st) == 0)
                error = EEXIST;
            else if (::renameat(dirFd, name.c_str(), AT_FDCWD, dest.c_str()) == 0)
                return 0;
            else
                error = errno;
        }
        ::unlink(info.c_str());
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

// The directory that dirFd is now, as an absolute path free of links ("" when unknown).
std::string RealPathOf(int dirFd) {
    char* real = ::realpath(("/proc/self/fd/" + std::to_string(dirFd)).c_str(), nullptr);
    if (!real)
        return {};
    std::string path = real;
    ::free(real);
    return path;
}

// True when the path still leads to the directory open as dirFd.
bool StillLeadsTo(const std::string& dir, int dirFd) {
    struct stat byPath, byFd;
    return ::stat(dir.c_str(), &byPath) == 0 && ::fstat(dirFd, &byFd) == 0 &&
           byPath.st_dev == byFd.st_dev && byPath.st_ino == byFd.st_ino;
}

} // namespace

std::string HomeTrashDir() {
    std::string dataHome;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    // Relative values are invalid by the base directory rules and are to be ignored.
    if (xdg && xdg[0] == '/') {
        dataHome = xdg;
    } else {
        const std::string home = HomeDirectory();
        if (home.empty())
            return {};
        dataHome = JoinPath(home, ".local/share");
    }
    return JoinPath(dataHome, "Trash");
}

std::string TrashEncodePath(const std::string& path) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!keep) {
            switch (c) {
            case '-':
            case '_':
            case '.':
            case '~':
            case '/':
            case '!':
            case '$':
            case '&':
            case '\'':
            case '(':
            case ')':
            case '*':
            case '+':
            case ',':
            case ';':
            case '=':
            case ':':
            case '@':
                keep = true;
            }
        }
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 0xF];
        }
    }
    return out;
}

std::string TrashDecodePath(const std::string& encoded) {
    return PercentDecode(encoded);
}

int MoveToTrash(const std::string& pathIn) {
    std::string path = WithoutTrailingSlash(pathIn);
    if (path.empty())
        return ENOENT;
    std::string name = NamePart(path);
    if (name.empty() || name == "." || name == "..")
        return EINVAL;
    int dirFd = ::open(DirectoryOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno;
    int error = MoveToTrashAt(dirFd, name, path);
    ::close(dirFd);
    return error;
}

int MoveToTrashAt(int dirFd, const std::string& name, const std::string& pathIn) {
    if (dirFd == AT_FDCWD)
        return MoveToTrash(pathIn);
    if (name.empty() || name == "." || name == ".." || name.find(PathDelim) != std::string::npos)
        return EINVAL;
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    struct stat dirStat;
    if (::fstat(dirFd, &dirStat) != 0)
        return errno;
    dev_t device = S_ISLNK(st.st_mode) ? dirStat.st_dev : st.st_dev;
    // A mount point itself cannot be renamed into a trash on the mounted file system.
    if (dirStat.st_dev != device)
        return EXDEV;

    // What the trash records is where the file really was: the path given, while it still
    // leads there; else wherever that directory is now.
    const std::string path = WithoutTrailingSlash(pathIn);
    std::string absolute;
    if (!path.empty() && StillLeadsTo(DirectoryOf(path), dirFd)) {
        absolute = path;
        if (path[0] != PathDelim) {
            std::string cwd = CurrentDirectory();
            if (cwd.empty())
                return errno;
            absolute = JoinPath(cwd, path);
        }
    } else {
        std::string real = RealPathOf(dirFd);
        if (real.empty())
            return errno ? errno : ENOENT;
        absolute = JoinPath(real, name);
    }

    std::string homeTrash = HomeTrashDir();
    dev_t homeDevice = 0;
    if (!homeTrash.empty() && HomeTrashDevice(homeTrash, homeDevice) && homeDevice == device) {
        if (int error = MakeDirectories(DirectoryOf(homeTrash)))
            return error;
        if (int error = EnsureTrashDirs(homeTrash))
            return error;
        return MoveInto(dirFd, name, homeTrash, TrashEncodePath(Tidy(absolute)));
    }

    // Another file system: its own trash, with the path relative to its top, so the
    // entry still means something when the disk is mounted elsewhere.
    std::string realDir = RealPathOf(dirFd);
    if (realDir.empty())
        return errno ? errno : ENOENT;
    std::string top = TopDirectory(realDir, device);
    int error = 0;
    std::string trash = TopDirTrash(top, error);
    if (trash.empty())
        return error ? error : EXDEV;
    std::string relative = JoinPath(realDir, name).substr(top == "/" ? 1 : top.size() + 1);
    return MoveInto(dirFd, name, trash, TrashEncodePath(relative));
}

} // namespace ferrox
