#include "platform/CopyFile.h"

#include "platform/CopyData.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrox {

namespace {

// A name that can be opened relative to its directory; "", "." and ".." cannot.
bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != "..";
}

// --- Names -----------------------------------------------------------------------------

// An attribute change the file system refuses outright, rather than one that failed.
bool Unkeepable(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

// 0 when a file may be put at dirFd/name in place of what is there: refused when it is
// the source itself (another spelling, a hard link) or a directory.
int CheckTarget(int dirFd, const char* name, const struct stat& sourceStat) {
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (SameInode(st, sourceStat))
        return errSameFile;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    return 0;
}

// --- Symbolic links ------------------------------------------------------------------

// Why a link could not be made in dirFd: FAT and exFAT have no links at all (EPERM from
// the kernel, ENOSYS through FUSE), which the system's words hide.
int LinkError(int dirFd, int error) {
    if (error == EPERM || error == ENOSYS || error == EOPNOTSUPP)
        return errNoSymlinks;
    return NamingError(dirFd, nullptr, error);
}

TCopyResult CopySymlink(int srcDirFd, const char* srcName, const struct stat& linkStat,
                        TCopyContext::TDir& dstDir, const char* dstName,
                        const TCopyOptions& options) {
    TCopyResult result;
    result.Source = IdentityOf(linkStat);

    char link[PATH_MAX];
    ssize_t length = ::readlinkat(srcDirFd, srcName, link, sizeof link);
    if (length < 0) {
        result.Error = errno;
        return result;
    }
    if (static_cast<size_t>(length) >= sizeof link) {
        result.Error = ENAMETOOLONG;
        return result;
    }
    link[length] = '\0';

    // The link itself, or the file it points to, as the target: replacing it by the link
    // would leave a link to itself and the file's data gone.
    auto isSelf = [&](const struct stat& target) {
        struct stat referent;
        return SameInode(target, linkStat) ||
               (::fstatat(srcDirFd, srcName, &referent, 0) == 0 && SameInode(target, referent));
    };
    struct stat targetStat;
    bool targetExists = ::fstatat(dstDir.Fd, dstName, &targetStat, AT_SYMLINK_NOFOLLOW) == 0;
    if (targetExists && isSelf(targetStat)) {
        result.Error = errSameFile;
        return result;
    }

    Report(options, length, 0, CALLBACK_STREAM_SWITCH);
    if (Cancelled(options)) {
        result.Error = ECANCELED;
        return result;
    }

    // A link is complete the moment it exists, so a new one goes straight to its name.
    struct timespec times[2] = {linkStat.st_atim, linkStat.st_mtim};
    int error = EEXIST;
    if (!targetExists) {
        error = ::symlinkat(link, dstDir.Fd, dstName) == 0 ? 0 : LinkError(dstDir.Fd, errno);
        // A link's times are cosmetic and not every file system can set them: no failure.
        if (error == 0)
            ::utimensat(dstDir.Fd, dstName, times, AT_SYMLINK_NOFOLLOW);
    }
    if (error == EEXIST) {
        // It appeared meanwhile: the same refusal holds.
        if (!targetExists && ::fstatat(dstDir.Fd, dstName, &targetStat, AT_SYMLINK_NOFOLLOW) == 0 &&
            isSelf(targetStat)) {
            result.Error = errSameFile;
            return result;
        }
        std::string temp;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            temp = RandomTempName();
            error =
                ::symlinkat(link, dstDir.Fd, temp.c_str()) == 0 ? 0 : LinkError(dstDir.Fd, errno);
        }
        if (error == 0) {
            ::utimensat(dstDir.Fd, temp.c_str(), times, AT_SYMLINK_NOFOLLOW);
            if (::renameat(dstDir.Fd, temp.c_str(), dstDir.Fd, dstName) != 0) {
                error = errno;
                ::unlinkat(dstDir.Fd, temp.c_str(), 0);
            }
        }
    }
    if (error == 0)
        Report(options, length, length, CALLBACK_CHUNK_FINISHED);
    result.Error = error;
    return result;
}

} // namespace

// --- The copy --------------------------------------------------------------------------

TCopyResult CopyFileWithProgress(const std::string& source, const std::string& target,
                                 const TCopyOptions& options, TCopyContext* context) {
    std::optional<TCopyContext> oneCopy;
    if (!context)
        context = &oneCopy.emplace(TCopyContext::TOneCopy{});
    TCopyResult result;

    // The source: one lookup of its name in its (open) directory, then the open file.
    int srcDirFd = AT_FDCWD;
    const char* srcName = source.c_str();
    std::string_view srcLeaf = NameView(source);
    if (IsPlainName(srcLeaf)) {
        int error = 0;
        TCopyContext::TDir* dir = context->SourceDir(DirectoryView(source), error);
        if (!dir) {
            result.Error = error;
            result.SourceMissing = true;
            return result;
        }
        srcDirFd = dir->Fd;
        srcName = srcLeaf.data(); // the tail of source: NUL-terminated
    }
    struct stat sourceStat;
    if (::fstatat(srcDirFd, srcName, &sourceStat, AT_SYMLINK_NOFOLLOW) != 0) {
        result.Error = errno;
        result.SourceMissing = true;
        return result;
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        result.Error = EISDIR;
        return result;
    }
    // Opening a fifo blocks until a writer comes, a device may rewind a tape or arm a
    // watchdog: never open.
    if (!S_ISREG(sourceStat.st_mode) && !S_ISLNK(sourceStat.st_mode)) {
        result.Error = errSpecialFile;
        return result;
    }

    std::string_view dstLeaf = NameView(target);
    if (!IsPlainName(dstLeaf)) {
        result.Error = EISDIR;
        return result;
    }
    const char* dstName = dstLeaf.data();
    int error = 0;
    TCopyContext::TDir* dstDir = context->TargetDir(DirectoryView(target), error);
    if (!dstDir) {
        result.Error = error;
        return result;
    }

    if (S_ISLNK(sourceStat.st_mode))
        return CopySymlink(srcDirFd, srcName, sourceStat, *dstDir, dstName, options);

    int in = ::openat(srcDirFd, srcName, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        result.Error = errno;
        return result;
    }
    // From here on the open file is what counts: it may have been replaced since the lookup.
    if (::fstat(in, &sourceStat) != 0)
        error = errno;
    else if (!S_ISREG(sourceStat.st_mode))
        error = S_ISDIR(sourceStat.st_mode) ? EISDIR : errSpecialFile;
    if (error != 0) {
        ::close(in);
        result.Error = error;
        return result;
    }
    result.Source = IdentityOf(sourceStat);

    // Permission bits only: set-user/group-ID would grant the copier's identity, not the
    // original owner's. The owner may write while we fill the file (extended attributes
    // need it); the mode is put right at the end where the umask or an ACL changed it.
    const mode_t mode = sourceStat.st_mode & 0777;
    const mode_t createMode = mode | S_IRUSR | S_IWUSR;
    bool setMode = context->Umask() < 0 || dstDir->DefaultAcl ||
                   (createMode & ~static_cast<mode_t>(context->Umask())) != mode;

    // The data goes into an unnamed file that gets its name only when complete: a failed,
    // cancelled or killed copy leaves nothing under any name.
    int out = -1;
    std::string temp;
    const bool unnamed =
        !dstDir->NoUnnamed &&
        (out = ::openat(dstDir->Fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode)) >= 0;
    if (!unnamed) {
        if (!dstDir->NoUnnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            error = errno;
        else
            dstDir->NoUnnamed = true;
        // With a named temporary the refusals must come first: its rename would not fail.
        if (error == 0)
            error = NamingError(dstDir->Fd, nullptr, CheckTarget(dstDir->Fd, dstName, sourceStat));
        // What a killed copy left here goes before we add our own.
        if (error == 0 && context->FirstSweep(*dstDir))
            RemoveStaleTemps(dstDir->Fd);
        if (error == 0)
            out = CreateNamedTemp(dstDir->Fd, temp, error);
        setMode = true;
    }
    if (out < 0) {
        ::close(in);
        result.Error = error;
        return result;
    }

    Report(options, sourceStat.st_size, 0, CALLBACK_STREAM_SWITCH);
    error = CopyData(in, out, sourceStat, dstDir->Device, options);
    if (error == 0)
        error = CopyXattrs(in, out);
    ::close(in);

    // A file system that cannot keep modes or times (FAT, exFAT, many shares) may refuse
    // them: the copy stands without them, as with cp -p.
    if (error == 0 && setMode && ::fchmod(out, mode) != 0 && !Unkeepable(errno))
        error = errno;
    if (error == 0) {
        struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
        if (::futimens(out, times) != 0 && !Unkeepable(errno))
            error = errno;
    }
    if (error == 0 && options.SyncTarget && ::fsync(out) != 0)
        error = errno;
    if (unnamed) {
        if (error == 0) {
            error = NamingError(dstDir->Fd, nullptr, LinkUnnamed(out, dstDir->Fd, dstName));
            if (error == EEXIST) {
                error = CheckTarget(dstDir->Fd, dstName, sourceStat);
                if (error == 0)
                    error = ReplaceWithUnnamed(out, dstDir->Fd, dstName);
            }
        }
        // Closing an unnamed file that got no name frees it: nothing to clean up.
        if (::close(out) != 0 && error == 0 && errno != EINTR)
            error = errno;
    } else {
        // Network file systems may report a failed write only here.
        if (::close(out) != 0 && error == 0 && errno != EINTR)
            error = errno;
        if (error == 0 && ::renameat(dstDir->Fd, temp.c_str(), dstDir->Fd, dstName) != 0)
            error = NamingError(dstDir->Fd, temp.c_str(), errno);
        if (error != 0)
            ::unlinkat(dstDir->Fd, temp.c_str(), 0);
    }
    // The new name must be on disk too before a moved source may go.
    if (error == 0 && options.SyncTarget)
        ::fsync(dstDir->Fd); // an O_PATH descriptor cannot: the file's own fsync then stands
    result.Error = error;
    return result;
}

bool IsSameFileState(const std::string& path, const TFileIdentity& identity,
                     TCopyContext* context) {
    if (!identity.Valid)
        return false;
    struct stat st;
    int rc = -1;
    std::string_view leaf = NameView(path);
    int error = 0;
    TCopyContext::TDir* dir = nullptr;
    if (context && IsPlainName(leaf) && (dir = context->SourceDir(DirectoryView(path), error)))
        rc = ::fstatat(dir->Fd, leaf.data(), &st, AT_SYMLINK_NOFOLLOW);
    else
        rc = ::lstat(path.c_str(), &st);
    if (rc != 0)
        return false;
    TFileIdentity now = IdentityOf(st);
    return now.Device == identity.Device && now.Inode == identity.Inode &&
           now.Size == identity.Size && now.MTimeNs == identity.MTimeNs;
}

} // namespace ferrox
