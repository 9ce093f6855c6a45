#include "platform/SafeFile.h"

#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

std::atomic<void (*)()> beforeNamingHook{nullptr};

// A name beside the target that no one else uses, of the copy's temporary form: hidden,
// and recognisable as ours (with its writer) when a crash left it behind.
std::string TempNameFor(const std::string& path) {
    return JoinPath(DirectoryOf(path), RandomTempName());
}

[[noreturn]] void ThrowRead(const std::string& path, int code) {
    throw TFileError("Unable to read " + path + ": " + SysErrorMessage(code), code);
}

// Gives the new file the owner and group of the one it stands for. Only root may give a
// file away; anyone else keeps at least the group where it is one of theirs, and otherwise
// the file becomes the saver's, as any file it writes.
void KeepOwner(int fd, const struct stat& like) {
    struct stat mine;
    if (::fstat(fd, &mine) != 0 || (mine.st_uid == like.st_uid && mine.st_gid == like.st_gid))
        return;
    if (::fchown(fd, like.st_uid, like.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), like.st_gid);
}

bool IsExpected(const struct stat& st, const TFileIdentity& expected) {
    return SameIdentity(IdentityOf(st), expected);
}

// The file system does not know the flag (or the kernel the call): the caller checks and
// renames in two steps instead.
bool NoRenameFlags(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// Renames temp over path only while path holds the expected file (or nothing, when the
// expected identity is not Valid); otherwise *changed, with temp left under its own name
// (cleared when it must not be removed). The two names are swapped in one step and swapped
// back when what came out is not the expected file, so a file put there a moment before is
// never lost; on file systems that cannot swap names, the check comes just before a plain
// rename.
int RenameIfUnchanged(std::string& temp, const std::string& path, const TFileIdentity& expected,
                      bool* changed) {
    *changed = false;
    if (expected.Valid) {
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat old;
            if (::lstat(temp.c_str(), &old) == 0 && IsExpected(old, expected)) {
                ::unlink(temp.c_str()); // the old content; the caller made its backup
                return 0;
            }
            *changed = true;
            if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0)
                return 0;
            // Cannot happen to two names that were just swapped; if it does, the other file
            // keeps the hidden name rather than being removed with our temporary one.
            int err = errno;
            temp.clear();
            return err;
        }
        int err = errno;
        if (NoRenameFlags(err)) {
            struct stat now;
            if (::lstat(path.c_str(), &now) == 0 && !IsExpected(now, expected)) {
                *changed = true;
                return 0;
            }
            return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
        }
        // The expected file is gone: the name is free to be taken, as below.
        if (err != ENOENT)
            return err;
    }
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int err = errno;
    if (err == EEXIST) {
        *changed = true;
        return 0;
    }
    if (!NoRenameFlags(err))
        return err;
    if (LookupPath(path) == 0) {
        *changed = true;
        return 0;
    }
    return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
}

} // namespace

TFd OpenRegularFile(const std::string& path, bool* missing) {
    *missing = false;
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            *missing = true;
            return fd;
        }
        ThrowRead(path, err);
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0)
        ThrowRead(path, errno);
    if (S_ISDIR(st.st_mode))
        ThrowRead(path, EISDIR);
    // /dev/zero never ends and a fifo may never speak: neither is a file of ours.
    if (!S_ISREG(st.st_mode))
        ThrowRead(path, errSpecialFile);
    return fd;
}

std::string ReadAll(int fd, const std::string& path) {
    std::string content;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        content.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ThrowRead(path, errno);
        if (n == 0)
            break;
        content.append(buf, static_cast<size_t>(n));
    }
    return content;
}

std::string ReadWholeFile(const std::string& path, bool* missing) {
    bool absent = false;
    TFd fd = OpenRegularFile(path, &absent);
    if (missing)
        *missing = absent;
    return absent ? std::string() : ReadAll(fd.Get(), path);
}

std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    // The kernel gives up after 40 links as well; what follows then fails with ELOOP.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
        if (n <= 0 || static_cast<size_t>(n) >= buf.size())
            break; // changed meanwhile; the name itself is the best answer left
        std::string target(buf.data(), static_cast<size_t>(n));
        current = target[0] == PathDelim ? target : JoinPath(DirectoryOf(current), target);
    }
    return current;
}

TFd ReplaceFileContent(const std::string& path, std::string_view content,
                       const TReplaceOptions& options) {
    return ReplaceFileContent(
        path, [content](const TPieceWriter& write) { return write(content); }, options);
}

TFd ReplaceFileContent(const std::string& path, const TContentWriter& content,
                       const TReplaceOptions& options) {
    const std::string failure = "Unable to write to " + path;
    struct stat attrs;
    bool keepAttrs = options.AttributesFrom >= 0
                         ? ::fstat(options.AttributesFrom, &attrs) == 0
                         : ::stat(path.c_str(), &attrs) == 0 && S_ISREG(attrs.st_mode);

    // 0666 less the umask, as for any new file.
    TFd fd(::open(DirectoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    const bool unnamed = static_cast<bool>(fd);
    std::string temp;
    auto fail = [&](int err) {
        if (!temp.empty())
            ::unlink(temp.c_str());
        throw TFileError(failure + ": " + SysErrorMessage(err), err);
    };
    if (!unnamed) {
        int err = errno;
        // File systems without unnamed files get a named one from the start.
        if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL)
            fail(err);
        for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
            temp = TempNameFor(path);
            fd = TFd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!fd && errno != EEXIST)
                break;
        }
        if (!fd) {
            int err2 = errno;
            temp.clear();
            fail(err2);
        }
    }
    const int into = fd.Get();
    int written = 0;
    try {
        written = content([into](std::string_view piece) { return WriteAll(into, piece); });
    } catch (...) {
        // The content could not be made: no named temporary may stay behind.
        if (!temp.empty())
            ::unlink(temp.c_str());
        throw;
    }
    if (written != 0)
        fail(written);
    if (keepAttrs) {
        KeepOwner(fd.Get(), attrs);
        // After the owner: a change of owner may clear the set-id bits.
        if (::fchmod(fd.Get(), attrs.st_mode & 07777) != 0)
            fail(errno);
    }
    if (::fsync(fd.Get()) != 0)
        fail(errno);
    // Locked before it takes the path's name, so there is no moment in which another
    // process could take the new file for a free one.
    if (options.KeepLocked)
        ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    if (auto hook = beforeNamingHook.load())
        hook();
    if (unnamed) {
        int err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
            temp = TempNameFor(path);
            err = LinkUnnamed(fd.Get(), AT_FDCWD, temp.c_str());
        }
        if (err != 0) {
            temp.clear();
            fail(err);
        }
    }
    if (!options.KeepLocked && !fd.Close())
        fail(errno);
    if (options.Expected) {
        bool changed = false;
        if (int err = RenameIfUnchanged(temp, path, *options.Expected, &changed))
            fail(err);
        if (changed) {
            ::unlink(temp.c_str());
            throw TFileChangedError(path);
        }
    } else if (::rename(temp.c_str(), path.c_str()) != 0) {
        fail(errno);
    }
    // The rename itself reaches the disk with the directory; a failure here loses nothing
    // that was on disk before.
    TFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.Get());
    return options.KeepLocked ? std::move(fd) : TFd();
}

void LinkOrCopyAs(const std::string& from, const std::string& to) {
    std::string temp = TempNameFor(to);
    if (::link(from.c_str(), temp.c_str()) == 0) {
        if (::rename(temp.c_str(), to.c_str()) == 0)
            return;
        ::unlink(temp.c_str());
    }
    bool missing = false;
    TFd source = OpenRegularFile(from, &missing);
    if (missing)
        throw TFileError("Unable to read " + from + ": " + SysErrorMessage(ENOENT), ENOENT);
    // A copy of a private file stays private, and its owner's.
    ReplaceFileContent(to, ReadAll(source.Get(), from), {.AttributesFrom = source.Get()});
}

bool SameIdentity(const TFileIdentity& a, const TFileIdentity& b) {
    return a.Valid && b.Valid && a.Device == b.Device && a.Inode == b.Inode && a.Size == b.Size &&
           a.MTimeNs == b.MTimeNs;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && SameInode(sa, sb);
}

void SetBeforeNamingHookForTesting(void (*f)()) {
    beforeNamingHook.store(f);
}

} // namespace ferrox
