#include "platform/FileSystem.h"

#include "platform/SysError.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ferrox {

TFileIdentity IdentityOf(const struct stat& st) {
    TFileIdentity id;
    id.Device = st.st_dev;
    id.Inode = st.st_ino;
    id.Size = st.st_size;
    id.MTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.Valid = true;
    return id;
}

namespace {
// Writes all of data with `write` (which may store less than asked), going on after short
// writes and EINTR; a write that stores nothing counts as ENOSPC, never as success.
template <class TWrite> int WriteLoop(std::string_view data, TWrite write) {
    for (int64_t done = 0; !data.empty();) {
        ssize_t n = write(data, done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        // The kernel stores nothing only when it can store nothing more.
        if (n == 0)
            return ENOSPC;
        data.remove_prefix(static_cast<size_t>(n));
        done += n;
    }
    return 0;
}
} // namespace

int WriteAll(int fd, std::string_view data) {
    return WriteLoop(data, [fd](std::string_view rest, int64_t) {
        return ::write(fd, rest.data(), rest.size());
    });
}

int PWriteAll(int fd, std::string_view data, int64_t offset) {
    return WriteLoop(data, [fd, offset](std::string_view rest, int64_t done) {
        return ::pwrite(fd, rest.data(), rest.size(), static_cast<off_t>(offset + done));
    });
}

bool SameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int MakeDirectories(const std::string& path, uint32_t mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (path == "/" || path.empty())
        return ENOENT;
    if (int error = MakeDirectories(DirectoryOf(path), mode))
        return error;
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

namespace {

TEntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode))
        return TEntryKind::File;
    if (S_ISDIR(mode))
        return TEntryKind::Directory;
    if (S_ISLNK(mode))
        return TEntryKind::Symlink;
    return TEntryKind::Special;
}

TEntryKind KindOfDirentType(unsigned char type) {
    switch (type) {
    case DT_REG:
        return TEntryKind::File;
    case DT_DIR:
        return TEntryKind::Directory;
    case DT_LNK:
        return TEntryKind::Symlink;
    default:
        return TEntryKind::Special;
    }
}

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

int LookupPath(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? 0 : errno;
}

int CheckDirectory(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

TFileIdentity GetFileIdentity(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        TFileIdentity none;
        none.Error = errno;
        return none;
    }
    return IdentityOf(st);
}

TFileIdentity GetFileIdentityFollow(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        TFileIdentity none;
        none.Error = errno;
        return none;
    }
    return IdentityOf(st);
}

int MakeDirectory(const std::string& path, uint32_t mode) {
    return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

TMakeDirResult MakeDirectoryIn(const std::string& parent, const std::string& name, uint32_t mode) {
    const std::string parentPath = parent.empty() ? "." : parent;
    int parentFd = ::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0 && errno == ENOENT) {
        if (::mkdir(parentPath.c_str(), 0777) != 0 && errno != EEXIST)
            return {errno, true};
        parentFd = ::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (parentFd < 0)
        return {errno, true};
    TMakeDirResult result;
    if (::mkdirat(parentFd, name.c_str(), static_cast<mode_t>(mode)) == 0)
        result.Made = true;
    else if (errno != EEXIST)
        result.Error = errno;
    struct stat st;
    if (result.Error == 0) {
        if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            result.Error = errno;
        else if (S_ISLNK(st.st_mode))
            result.Error = errTargetIsLink;
        else if (!S_ISDIR(st.st_mode))
            result.Error = ENOTDIR;
        else
            result.Device = st.st_dev;
    }
    ::close(parentFd);
    return result;
}

uint32_t DirectoryCopyMode(const std::string& sourceDir) {
    struct stat st;
    if (::stat(sourceDir.c_str(), &st) != 0)
        return 0777;
    // The sticky bit goes along (a shared drop directory stays one); set-group-ID is the
    // target parent's to give, as mkdir does.
    return (st.st_mode & (0777 | S_ISVTX)) | S_IRWXU;
}

int EnumerateDirectory(const std::string& dirPath,
                       const std::function<bool(const TDirEntry&)>& onEntry, bool withSizes) {
    DIR* dir = ::opendir(dirPath.c_str());
    if (!dir)
        return errno;
    int dirFd = ::dirfd(dir);
    TDirEntry item;
    int error = 0;
    for (;;) {
        // readdir only tells an error from the end of the directory through errno.
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        if (IsDotOrDotDot(entry->d_name))
            continue;
        if (entry->d_type == DT_UNKNOWN) {
            // Some file systems (older XFS, some network ones) do not fill d_type.
            struct stat st;
            if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue; // removed since readdir saw it
                error = errno;
                break;
            }
            item.Kind = KindOfMode(st.st_mode);
        } else {
            item.Kind = KindOfDirentType(entry->d_type);
        }
        item.Name.assign(entry->d_name);
        item.Size = -1;
        struct stat st;
        if (withSizes && item.Kind == TEntryKind::File &&
            ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            item.Size = st.st_size;
        if (!onEntry(item))
            break;
    }
    ::closedir(dir);
    return error;
}

std::optional<TFileTimes> TimesOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return TFileTimes{st.st_atim, st.st_mtim};
}

int SetTimes(const std::string& path, const TFileTimes& times) {
    const struct timespec both[2] = {times.Access, times.Modify};
    return ::utimensat(AT_FDCWD, path.c_str(), both, 0) == 0 ? 0 : errno;
}

int SyncFileSystem(int fd) {
    return ::syncfs(fd) == 0 ? 0 : errno;
}

int SyncFileSystemsApart(const std::vector<int>& fds) {
    int done[2];
    if (::pipe2(done, O_CLOEXEC) != 0)
        return -1;
    // What the writer keeps open: the file systems' descriptors and the pipe's end that
    // tells the caller it is done. Sorted before the fork, which leaves only system calls.
    std::vector<int> keep(fds);
    keep.push_back(done[1]);
    std::sort(keep.begin(), keep.end());
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(done[0]);
        ::close(done[1]);
        return -1;
    }
    if (child == 0) {
        // Nothing else stays open (not the queue file's lock, not a pipe a reader waits
        // on), and the writer is a grandchild, which nobody has to reap.
        unsigned from = 0;
        for (int fd : keep) {
            if (unsigned(fd) > from)
                ::close_range(from, unsigned(fd) - 1, 0);
            from = unsigned(fd) + 1;
        }
        ::close_range(from, ~0U, 0);
        if (::fork() != 0)
            ::_exit(0);
        for (int fd : fds)
            ::syncfs(fd);
        ::_exit(0);
    }
    ::close(done[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return done[0];
}

bool CloseApart(int fd, int dirFd, const char* name) {
    // The keeper must be the last to let go, or the close that waits is still ours (or its
    // parent's): it closes once this process and its parent have let go, which a pipe
    // tells it (its end reads end of file once no one else holds the other end).
    int go[2];
    if (::pipe2(go, O_CLOEXEC) != 0)
        return false;
    const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (!name)
        dirFd = keep; // nothing more to keep
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t child = keep >= 0 && nothing >= 0 ? ::fork() : -1;
    if (child == 0) {
        // Only the file and the pipe stay open, and the keeper is a grandchild, which
        // nobody has to reap.
        int kept[] = {keep, go[0], go[1], dirFd >= 0 ? dirFd : keep};
        std::sort(std::begin(kept), std::end(kept));
        unsigned from = 0;
        for (int k : kept) {
            if (unsigned(k) > from)
                ::close_range(from, unsigned(k) - 1, 0);
            from = unsigned(k) + 1;
        }
        ::close_range(from, ~0U, 0);
        if (::fork() != 0) {
            ::close(keep);
            ::_exit(0);
        }
        ::close(go[1]);
        if (name)
            ::unlinkat(dirFd, name, 0);
        char byte;
        while (::read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(keep);
        ::_exit(0);
    }
    if (child > 0)
        // fd stays the caller's to close, but no longer leads to the file.
        ::dup3(nothing, fd, O_CLOEXEC);
    for (int own : {keep, nothing, go[0], go[1]})
        if (own >= 0)
            ::close(own);
    if (child > 0)
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    return child > 0;
}

namespace {
// A small file of the kernel's (/proc, /sys), read in one go into `text`, NUL-terminated;
// false when it cannot be read or is empty.
template <size_t N> bool ReadKernelFile(const char* path, char (&text)[N]) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, text, N - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    text[n] = 0;
    return true;
}
} // namespace

std::optional<int64_t> UnwrittenCacheBytes() {
    // About 1.5 KB; the two fields are in kB.
    char text[4096];
    if (!ReadKernelFile("/proc/meminfo", text))
        return std::nullopt;
    int64_t total = 0;
    int found = 0;
    for (const char* field : {"\nDirty:", "\nWriteback:"}) {
        if (const char* at = std::strstr(text, field)) {
            total += std::strtoll(at + std::strlen(field), nullptr, 10) * 1024;
            ++found;
        }
    }
    if (found == 0)
        return std::nullopt;
    return total;
}

std::optional<int64_t> DeviceBytesWritten(dev_t device) {
    if (major(device) == 0)
        return std::nullopt; // an unnamed device: tmpfs, FUSE, NFS and the like
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/stat", major(device), minor(device));
    char text[512];
    if (!ReadKernelFile(path, text))
        return std::nullopt;
    // Reads: ios, merges, sectors, ticks; writes: ios, merges, sectors (of 512 bytes).
    const char* at = text;
    char* end = nullptr;
    for (int field = 1; field <= 7; ++field) {
        const long long value = std::strtoll(at, &end, 10);
        if (end == at)
            return std::nullopt;
        if (field == 7)
            return int64_t(value) * 512;
        at = end;
    }
    return std::nullopt;
}

int RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int MakeOwnerWritable(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno;
    // chmod follows links and a link's own mode means nothing on Linux: leave it alone.
    if (S_ISLNK(st.st_mode))
        return 0;
    if (st.st_mode & S_IWUSR)
        return 0;
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 ? 0 : errno;
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

namespace {
constexpr decltype(statfs::f_type) FuseMagic = 0x65735546;
} // namespace

bool IsFuse(const std::string& path) {
    struct statfs fs;
    return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == FuseMagic;
}

TFileSystemTraits FileSystemTraitsOf(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return {};
    switch (fs.f_type) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x58465342: // XFS
    case 0x9123683E: // Btrfs
    case 0xF2F52010: // F2FS
    case 0x01021994: // tmpfs
        return {false, true};
    default:
        return {fs.f_type == FuseMagic, false};
    }
}

bool IsFuseHiddenName(std::string_view name) {
    return name.starts_with(".fuse_hidden");
}

} // namespace ferrox
