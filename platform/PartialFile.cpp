#include "platform/PartialFile.h"

#include "platform/ContentHash.h"
#include "platform/FileSystem.h"
#include "platform/UnnamedFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace ferrox {

namespace {

constexpr size_t HalfKey = 16;

std::string Hex64(uint64_t value) {
    char hex[HalfKey + 1];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(value));
    return hex;
}

// The partials of ours in dirFd whose key starts with nameKey.
std::vector<std::string> PartialsFor(int dirFd, std::string_view nameKey) {
    TTempWriter writer;
    TPartialName partial;
    return NamesIn(dirFd, [&](const dirent& entry) {
        return ParsePartialName(entry.d_name, writer, partial) &&
               std::string_view(partial.Key).substr(0, HalfKey) == nameKey;
    });
}

// Removes dirFd/name once its lock is let go, while the name still holds that file. Closed
// first: a FUSE file system only hides a file unlinked while open.
void RemoveHeld(int dirFd, const std::string& name, TFd held) {
    struct stat locked, named;
    const bool ok = ::fstat(held.Get(), &locked) == 0;
    held.Reset();
    if (ok && ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameInode(locked, named))
        ::unlinkat(dirFd, name.c_str(), 0);
}

// True when the partial's last bytes before `length` (or all) are the source's: what a
// crash can spoil is the end a write-back had not reached.
bool EndMatches(int in, int part, int64_t length, bool whole, const std::atomic<bool>* cancel) {
    const int64_t check = whole ? length : std::min(length, PartialCheckBytes);
    bool same = false;
    return SameBytes(in, part, length - check, check, &same, cancel) == 0 && same;
}

// dirFd/name, a partial of ours whose writer is provably gone, opened read-write and
// locked; an invalid TFd when it is another's, held, or gone meanwhile.
TFd HoldLeftPartial(int dirFd, const std::string& name, TPartialName& seen) {
    TTempWriter writer;
    struct stat st, opened;
    // Only a gone writer's, and only one no one holds: a live copy keeps its lock.
    if (!ParsePartialName(name, writer, seen) ||
        ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !TempWriterGone(writer, st))
        return {};
    TFd fd(::openat(dirFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.Get(), &opened) != 0 ||
        !SameInode(st, opened))
        return {};
    return fd;
}

// The first half of a partial's key: its target name's.
std::string NameKeyOf(std::string_view targetName) {
    return Hex64(XXH3_64bits(targetName.data(), targetName.size()));
}

} // namespace

std::string PartialKeyOf(std::string_view targetName, const struct stat& source) {
    const int64_t identity[] = {int64_t(source.st_dev), int64_t(source.st_ino),
                                int64_t(source.st_size), int64_t(source.st_mtim.tv_sec),
                                int64_t(source.st_mtim.tv_nsec)};
    return NameKeyOf(targetName) + Hex64(XXH3_64bits(identity, sizeof identity));
}

TFd TakeOverPartial(int dirFd, std::string_view targetName, int in, const struct stat& source,
                    bool whole, const std::atomic<bool>* cancel, TPartialFile& partial) {
    const std::string key = PartialKeyOf(targetName, source);
    TFd taken;
    for (const std::string& name : PartialsFor(dirFd, std::string_view(key).substr(0, HalfKey))) {
        TPartialName seen;
        TFd fd = HoldLeftPartial(dirFd, name, seen);
        struct stat opened;
        if (!fd || ::fstat(fd.Get(), &opened) != 0)
            continue;
        // A hole at the end is not written until the file is cut to its length.
        const bool fits =
            !taken && seen.Key == key && seen.Length > 0 && seen.Length <= source.st_size &&
            (opened.st_size >= seen.Length || ::ftruncate(fd.Get(), seen.Length) == 0) &&
            EndMatches(in, fd.Get(), seen.Length, whole, cancel);
        const std::string ours = PartialNameOf(CurrentTempWriter(), key, seen.Length);
        if (!fits || ::renameat(dirFd, name.c_str(), dirFd, ours.c_str()) != 0) {
            RemoveHeld(dirFd, name, std::move(fd));
            continue;
        }
        // What lies past the recorded length may not have reached the disk before a crash.
        if (::ftruncate(fd.Get(), seen.Length) != 0) {
            RemoveHeld(dirFd, ours, std::move(fd));
            continue;
        }
        partial = {key, ours, seen.Length};
        taken = std::move(fd);
    }
    return taken;
}

TFd CreatePartial(int dirFd, mode_t mode, const std::string& key, TPartialFile& partial,
                  int& error) {
    partial = {key, PartialNameOf(CurrentTempWriter(), key, 0), 0};
    // Readable too: a verified copy is read back through it.
    TFd fd(::openat(dirFd, partial.Name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd) {
        error = errno;
        return fd;
    }
    // Held until the descriptor closes (see CreateNamedTemp).
    ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    error = 0;
    return fd;
}

int MarkPartial(int dirFd, int fd, TPartialFile& partial, int64_t length) {
    if (::fdatasync(fd) != 0)
        return errno;
    const std::string marked = PartialNameOf(CurrentTempWriter(), partial.Key, length);
    // A name not changed keeps saying less than is there: never more.
    if (::renameat(dirFd, partial.Name.c_str(), dirFd, marked.c_str()) == 0) {
        partial.Name = marked;
        partial.Length = length;
    }
    return 0;
}

void RemoveLeftPartials(int dirFd, std::string_view targetName) {
    for (const std::string& name : PartialsFor(dirFd, NameKeyOf(targetName))) {
        TPartialName seen;
        if (TFd fd = HoldLeftPartial(dirFd, name, seen))
            RemoveHeld(dirFd, name, std::move(fd));
    }
}

} // namespace ferrox
