#include "persist/HeldFile.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrox {

namespace {

// True when the name (links followed) still leads to the open file.
bool NameLeadsTo(const std::string& path, int fd) {
    struct stat byName, byFd;
    return ::stat(path.c_str(), &byName) == 0 && ::fstat(fd, &byFd) == 0 && SameInode(byName, byFd);
}

// False only when another open file holds the lock. A file system that has no locks at
// all is worked on unlocked, as it always was.
bool TryLock(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// A Ferrox on its way out keeps only a shared lock (Ending): true when the lock that keeps
// us out is one of those.
bool HeldByOneEnding(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        return false;
    ::flock(fd, LOCK_UN);
    return true;
}

// The name of a new file beside the queue file: "q.ini" gives "q-1.ini", "QUEUE" gives
// "QUEUE-1". It keeps the directory as given, and its backup name is not the queue file's.
std::string SideName(const std::string& file, int n) {
    const size_t slash = file.rfind(PathDelim);
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot <= nameStart)
        dot = file.size();
    return file.substr(0, dot) + "-" + std::to_string(n) + file.substr(dot);
}

} // namespace

THeldFile::TFound THeldFile::Open(const std::string& file) const {
    TFound found;
    for (int attempt = 0; attempt < 10; ++attempt) {
        found = TFound();
        found.Fd = OpenRegularFile(file, &found.Missing);
        if (found.Missing)
            break;
        // A second lock of our own would fail against the one we hold.
        if ((found.Ours = HoldsLockOn(found.Fd.Get())))
            break;
        if ((found.Held = !TryLock(found.Fd.Get()))) {
            found.Ending = HeldByOneEnding(found.Fd.Get());
            break;
        }
        // A save elsewhere may have put a new file under the name between the open and
        // the lock; the locked one is then an old one, free for that reason.
        if (NameLeadsTo(file, found.Fd.Get()))
            break;
    }
    return found;
}

bool THeldFile::HoldsLockOn(int fd) const {
    struct stat mine, other;
    return lock_ && ::fstat(lock_.Get(), &mine) == 0 && ::fstat(fd, &other) == 0 &&
           SameInode(mine, other);
}

bool THeldFile::HoldsLockOn(const std::string& path) const {
    return lock_ && NameLeadsTo(path, lock_.Get());
}

void THeldFile::Hold(TFound&& found, const std::string& name) {
    if (found.Ours) {
        std::lock_guard lock(mutex_);
        found.Fd = std::move(lock_);
    }
    Hold(std::move(found.Fd), name);
}

void THeldFile::Hold(TFd fd, const std::string& name) {
    struct stat st;
    const bool known = fd && ::fstat(fd.Get(), &st) == 0;
    {
        std::lock_guard lock(mutex_);
        lock_ = std::move(fd);
        if (ending_ && lock_)
            ::flock(lock_.Get(), LOCK_SH | LOCK_NB);
    }
    heldName_ = name;
    held_ = known ? IdentityOf(st) : TFileIdentity();
}

void THeldFile::HoldNothing(const std::string& name) {
    Hold(TFd(), name);
}

void THeldFile::Ending() {
    std::lock_guard lock(mutex_);
    ending_ = true;
    // Converted, not given up: a Ferrox starting meanwhile waits for this one's end rather
    // than take the file while its last copy lets go.
    if (lock_)
        ::flock(lock_.Get(), LOCK_SH | LOCK_NB);
}

std::optional<TFd> THeldFile::FreeToReplace(const std::string& target) const {
    if (HoldsLockOn(target) || LookupPath(target) != 0)
        return TFd();
    TFd other(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    // Locked, but no longer under the name: another holder has just saved.
    if (other && (!TryLock(other.Get()) || !NameLeadsTo(target, other.Get())))
        return std::nullopt;
    return other;
}

bool THeldFile::ChangedBySomeoneElse(const std::string& target) const {
    return LookupPath(target) == 0 && !SameIdentity(GetFileIdentityFollow(target), held_);
}

void THeldFile::Replace(const std::string& name, const std::string& target, std::string_view text,
                        bool guarded) {
    Replace(
        name, target, [text](const TPieceWriter& write) { return write(text); }, guarded);
}

void THeldFile::Replace(const std::string& name, const std::string& target,
                        const TContentWriter& text, bool guarded) {
    Hold(ReplaceFileContent(target, text,
                            {.KeepLocked = true, .Expected = guarded ? &held_ : nullptr}),
         name);
}

std::string THeldFile::WriteBeside(const std::string& name, std::string_view text) {
    return WriteBeside(name, [text](const TPieceWriter& write) { return write(text); });
}

std::string THeldFile::WriteBeside(const std::string& name, const TContentWriter& text) {
    const TFileIdentity nothing;
    std::string side;
    for (int n = 1; n <= 1000; ++n) {
        side = SideName(name, n);
        if (LookupPath(side) == 0)
            continue;
        try {
            // Made like the file it stands in for: a root's save of a user's queue stays
            // the user's.
            Hold(ReplaceFileContent(side, text,
                                    {.KeepLocked = true,
                                     .Expected = &nothing,
                                     .AttributesFrom = lock_ ? lock_.Get() : -1}),
                 side);
            return side;
        } catch (const TFileChangedError&) {
            // Taken a moment ago by someone else; the next name.
        }
    }
    throw TFileError("Unable to write to " + side + ": " + SysErrorMessage(EEXIST), EEXIST);
}

} // namespace ferrox
