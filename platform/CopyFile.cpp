#include "platform/CopyFile.h"

#include "platform/ContentHash.h"
#include "platform/CopyData.h"
#include "platform/PartialFile.h"
#include "platform/SysError.h"
#include "platform/Trash.h"
#include "platform/UnnamedFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace ferrox {

namespace {

// A name that can be opened relative to its directory; "", "." and ".." cannot.
bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != "..";
}

// How many free names beside a kept target are tried.
constexpr int KeepBothTries = 10000;

// --- Targets that exist ----------------------------------------------------------------

// An attribute change the file system refuses outright, rather than one that failed.
bool Unkeepable(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

// What is at dirFd/name: 0 with *there, or nothing (ENOENT, there null), or errno.
int LookAtTarget(int dirFd, const char* name, struct stat& st, const struct stat*& there) {
    there = nullptr;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        there = &st;
    return there || errno == ENOENT ? 0 : errno;
}

// 0 when a file may be put in place of what is there (nothing: null): refused when it is
// the source itself (another spelling, a hard link) or a directory.
int RefusalOf(const struct stat* there, const struct stat& sourceStat) {
    if (there && SameInode(*there, sourceStat))
        return errSameFile;
    if (there && S_ISDIR(there->st_mode))
        return EISDIR;
    return 0;
}

int CheckTarget(int dirFd, const char* name, const struct stat& sourceStat) {
    struct stat st;
    const struct stat* there;
    const int error = LookAtTarget(dirFd, name, st, there);
    return error ? error : RefusalOf(there, sourceStat);
}

// The granularity of the modification times the file system of dirFd keeps, judged from
// a target's own time: FAT keeps two seconds, and one whose time has no fraction (exFAT
// through FUSE, SSHFS, ext3) whole seconds. A copy's time is cut to that on the way in, so
// a file copied earlier must not look older than its source on the next run.
int64_t TimeGranularityNs(int dirFd, const struct stat& target) {
    constexpr int64_t Second = 1'000'000'000;
    if (target.st_mtim.tv_nsec != 0)
        return 1;
    struct statfs fs;
    return ::fstatfs(dirFd, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC ? 2 * Second : Second;
}

// True when the source's modification time is later than the target's, as precisely as
// the target's file system keeps times.
bool SourceIsNewer(const struct stat& source, const struct stat& target, int64_t granularityNs) {
    const int64_t sourceNs =
        int64_t(source.st_mtim.tv_sec) * 1'000'000'000 + source.st_mtim.tv_nsec;
    const int64_t targetNs =
        int64_t(target.st_mtim.tv_sec) * 1'000'000'000 + target.st_mtim.tv_nsec;
    // Cut towards the past, as the file system cut the copy's time (also before 1970).
    int64_t cut = sourceNs - sourceNs % granularityNs;
    if (sourceNs % granularityNs < 0)
        cut -= granularityNs;
    return cut > targetNs;
}

// True when the policy leaves the target as it is: it exists (Skip), or it exists and the
// source is not newer than it (Newer; as cp -u, whatever the sizes: a longer old source
// must not replace a newer target).
bool LeavesTarget(TExistingTargets policy, int dirFd, const char* name,
                  const struct stat& sourceStat) {
    if (policy != TExistingTargets::Skip && policy != TExistingTargets::Newer)
        return false;
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        RemoveStaleReservation(dirFd, name))
        return false;
    return policy == TExistingTargets::Skip ||
           !SourceIsNewer(sourceStat, st, TimeGranularityNs(dirFd, st));
}

// True when the target a Move's policy left as it is already holds the source: another
// regular file (never the source itself under a second name) of its size and with every
// byte the same, put on the disk here before the source may go. A copy cut off between its
// naming and the removal of its source is finished so by the next run.
bool HoldsSourceBytes(int dirFd, const char* name, int in, const struct stat& source,
                      const std::atomic<bool>* cancel) {
    TFd target(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    bool same = false;
    return target && ::fstat(target.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
           !SameInode(st, source) && st.st_size == source.st_size &&
           SameBytes(in, target.Get(), 0, source.st_size, &same, cancel) == 0 && same &&
           ::fsync(target.Get()) == 0;
}

// Puts a finished entry under its name with `place(name)` (0, EEXIST when the name is
// taken, or another errno), as the policy says: KeepBoth tries "name (2).ext", "name
// (3).ext", … until one is free, each try an atomic "create if absent", so no other writer
// is overwritten; Skip takes the name only when it is free (else *skipped). The name
// taken, when it is not `name`, goes to *placedAs.
template <class TPlace>
int PlaceFree(TExistingTargets policy, int dirFd, const char* name, TPlace place, bool* skipped,
              std::string* placedAs) {
    // A name held by a reservation a killed copy left is free again.
    auto take = [&](const char* candidate) {
        int error = place(candidate);
        if (error == EEXIST && RemoveStaleReservation(dirFd, candidate))
            error = place(candidate);
        return error;
    };
    int error = take(name);
    if (error != EEXIST)
        return error;
    if (policy == TExistingTargets::Skip) {
        *skipped = true;
        return 0;
    }
    for (int n = 2; n <= KeepBothTries && error == EEXIST; ++n) {
        *placedAs = NumberedName(name, n);
        error = take(placedAs->c_str());
    }
    return error;
}

// What a copy that may replace a target needs of its run's record (TFilledTargets): the
// decision about a name and the taking of it under the name's lock, and no replacing of a
// file the run copied there from elsewhere. Without a record (a copy on its own, or a
// policy that never replaces, where every name is taken only when free) it does nothing.
struct TTargetRecord {
    TFilledTargets* Filled;
    const TCopyContext::TDir& Dir;
    const TFileIdentity& Source;

    std::unique_lock<std::mutex> Hold(const char* name) const {
        return Filled ? Filled->Hold(Dir.Device, name) : std::unique_lock<std::mutex>();
    }
    // errJustCopiedOther when Dir/name holds a file this run copied from another source;
    // there: what is under the name now (null: nothing).
    int MayReplace(const char* name, const struct stat* there) const {
        return Filled && Filled->FilledFromOther(Dir.Path, name, there, Source)
                   ? static_cast<int>(errJustCopiedOther)
                   : 0;
    }
    int MayReplace(const char* name) const {
        struct stat st;
        const struct stat* there = nullptr;
        if (Filled)
            LookAtTarget(Dir.Fd, name, st, there);
        return MayReplace(name, there);
    }
    void Took(const char* name, const struct stat& made) const {
        if (Filled)
            Filled->Filled(Dir.Path, name, made, Source, !Dir.StableInodes);
    }
};

TTargetRecord RecordFor(const TCopyOptions& options, const TCopyContext::TDir& dir,
                        const TFileIdentity& source) {
    const bool replaces = options.Existing == TExistingTargets::Overwrite ||
                          options.Existing == TExistingTargets::Newer;
    return {replaces ? options.Filled : nullptr, dir, source};
}

// Gives the finished temporary dir/temp the name `name` only while that name is free, on
// any file system: a rename that does not replace where the kernel has one; else a hard
// link, which fails on a taken name, and the temporary's removal; else (exFAT and FAT
// through FUSE have neither) the name is reserved by an exclusive create and the
// temporary renamed over exactly that reserved file. Never a look followed by a rename:
// another copy could take the name in between. 0, EEXIST when the name is taken, or errno.
int RenameIfFree(TCopyContext::TDir& dir, const char* temp, const char* name) {
    const int dirFd = dir.Fd;
    if (!dir.NoReplaceRefused) {
        if (::renameat2(dirFd, temp, dirFd, name, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS)
            return errno;
        dir.NoReplaceRefused = true;
    }
    if (!dir.NoHardLinks) {
        if (::linkat(dirFd, temp, dirFd, name, 0) == 0) {
            ::unlinkat(dirFd, temp, 0);
            return 0;
        }
        if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
            return errno;
        dir.NoHardLinks = true;
    }
    // The reservation is ours from its exclusive create on: only a program that replaces
    // names it finds taken could take it from us in the moments before the rename, and
    // it meant to replace. (Nothing by name can tell us it is still ours: exfat-fuse was
    // seen to give a file made a moment before another inode, with its size still 0.)
    // It holds a word of ours, so that one a killed copy left is known for what it is by
    // the next copy onto that name (RemoveStaleReservation).
    {
        TFd placeholder(
            ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!placeholder)
            return errno;
        (void)WriteAll(placeholder.Get(), ReservationOf(temp));
    }
    if (::renameat(dirFd, temp, dirFd, name) != 0) {
        const int error = errno;
        ::unlinkat(dirFd, name, 0);
        return error;
    }
    return 0;
}

// --- Symbolic links ------------------------------------------------------------------

// The link's target text, or the errno it could not be read with.
int ReadLink(int dirFd, const char* name, char (&link)[PATH_MAX], ssize_t& length) {
    length = ::readlinkat(dirFd, name, link, sizeof link);
    if (length < 0)
        return errno;
    if (static_cast<size_t>(length) >= sizeof link)
        return ENAMETOOLONG;
    link[length] = '\0';
    return 0;
}

// Why a link could not be made in dirFd: FAT and exFAT have no links at all (EPERM from
// the kernel, ENOSYS through FUSE), which the system's words hide.
int LinkError(int dirFd, int error) {
    if (error == EPERM || error == ENOSYS || error == EOPNOTSUPP)
        return errNoSymlinks;
    return NamingError(dirFd, nullptr, error);
}

// A link is complete the moment it exists: it goes straight to a free name, or replaces
// an old target through a named temporary renamed over it, unless `isSelf` says the target
// that appeared meanwhile is the source.
template <class TIsSelf>
int PlaceLink(const char* link, const struct stat& linkStat, TCopyContext::TDir& dstDir,
              const char* dstName, const TCopyOptions& options, TCopyResult& result,
              TIsSelf isSelf) {
    struct timespec times[2] = {linkStat.st_atim, linkStat.st_mtim};
    const int dirFd = dstDir.Fd;
    // A link's times are cosmetic and not every file system can set them: no failure. On
    // FUSE they are not set at all: there the file the link points to may get them.
    auto make = [&](const char* name) {
        if (::symlinkat(link, dirFd, name) != 0)
            return LinkError(dirFd, errno);
        if (!dstDir.Fuse)
            ::utimensat(dirFd, name, times, AT_SYMLINK_NOFOLLOW);
        return 0;
    };
    if (options.Existing == TExistingTargets::Skip ||
        options.Existing == TExistingTargets::KeepBoth)
        return PlaceFree(options.Existing, dirFd, dstName, make, &result.Skipped,
                         &result.TargetName);
    const TTargetRecord record = RecordFor(options, dstDir, result.Source);
    const auto hold = record.Hold(dstName);
    int error = make(dstName);
    if (error == EEXIST) {
        if (isSelf())
            return errSameFile;
        if (int refused = record.MayReplace(dstName))
            return refused;
        std::string temp;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt)
            error = make((temp = RandomTempName()).c_str());
        if (error == 0 && ::renameat(dirFd, temp.c_str(), dirFd, dstName) != 0) {
            error = errno;
            ::unlinkat(dirFd, temp.c_str(), 0);
        }
    }
    struct stat made;
    if (error == 0 && ::fstatat(dirFd, dstName, &made, AT_SYMLINK_NOFOLLOW) == 0)
        record.Took(dstName, made);
    return error;
}

TCopyResult CopySymlink(int srcDirFd, const char* srcName, const struct stat& linkStat,
                        TCopyContext::TDir& dstDir, const char* dstName,
                        const TCopyOptions& options) {
    TCopyResult result;
    result.Source = IdentityOf(linkStat);
    char link[PATH_MAX];
    ssize_t length = 0;
    if ((result.Error = ReadLink(srcDirFd, srcName, link, length)))
        return result;

    // The link itself, or the file it points to, as the target: replacing it by the link
    // would leave a link to itself and the file's data gone.
    auto isSelf = [&] {
        struct stat target, referent;
        return ::fstatat(dstDir.Fd, dstName, &target, AT_SYMLINK_NOFOLLOW) == 0 &&
               (SameInode(target, linkStat) ||
                (::fstatat(srcDirFd, srcName, &referent, 0) == 0 && SameInode(target, referent)));
    };
    if (options.Existing != TExistingTargets::KeepBoth && isSelf()) {
        result.Error = errSameFile;
        return result;
    }
    if (LeavesTarget(options.Existing, dstDir.Fd, dstName, linkStat)) {
        result.Skipped = true;
        // A Move's link is there when a link of the same words is (isSelf was refused).
        char there[PATH_MAX];
        ssize_t thereLength = 0;
        result.TargetHoldsSource =
            options.Move && ReadLink(dstDir.Fd, dstName, there, thereLength) == 0 &&
            std::string_view(there, size_t(thereLength)) == std::string_view(link, size_t(length));
        return result;
    }
    Report(options, {length, 0, true, dstDir.Device});
    if (Cancelled(options)) {
        result.Error = ECANCELED;
        return result;
    }
    result.Error = PlaceLink(link, linkStat, dstDir, dstName, options, result, isSelf);
    if (result.Error == 0)
        Report(options, {length, length});
    return result;
}

// --- A regular file --------------------------------------------------------------------

// One regular file's copy, step by step: the new file (unnamed where the file system has
// them), its content, its attributes, the check that it is whole, its name.
class TTargetWriter {
public:
    TTargetWriter(TCopyContext& context, TCopyContext::TDir& dstDir, const char* dstName,
                  const TCopyOptions& options, TCopyResult& result)
        : context_(context), dir_(dstDir), name_(dstName), options_(options), result_(result) {}

    int Run(TFd in, const struct stat& sourceStat);

private:
    int Create();
    int WriteContent();
    int Verify(const TContentHash& written);
    int SetModeAndTimes();
    int Name();
    // 0 when the new file may take its name over what is there now, with one look at the
    // name: not over a file the run filled from another source, and (`refusals`) not over
    // the source itself or a directory.
    int MayTakeOver(const TTargetRecord& record, bool refusals) const;

    TCopyContext& context_;
    TCopyContext::TDir& dir_;
    const char* name_;
    const TCopyOptions& options_;
    TCopyResult& result_;
    TFd in_;
    struct stat source_ {};
    TFd out_;
    std::string temp_; // the named temporary, where unnamed files are refused
    // A large file's copy goes into a partial that outlives a kill (temp_ is its name).
    std::optional<TPartialFile> partial_;
    bool setMode_ = false;
    // The refusals are looked for when the named temporary is to take a name that is
    // taken (Name), not before the copy.
    bool refusalsAtName_ = false;
};

int TTargetWriter::Run(TFd in, const struct stat& sourceStat) {
    in_ = std::move(in);
    source_ = sourceStat;
    if (LeavesTarget(options_.Existing, dir_.Fd, name_, source_)) {
        result_.Skipped = true;
        result_.TargetHoldsSource =
            options_.Move && HoldsSourceBytes(dir_.Fd, name_, in_.Get(), source_, options_.Cancel);
        return 0;
    }
    int error = Create();
    if (error == 0)
        error = WriteContent();
    in_.Reset();
    if (error == 0)
        error = SetModeAndTimes();
    if (error == 0)
        error = Name();
    // Closing an unnamed file that got no name frees it; a named temporary is closed
    // before its rename already.
    if (out_ && !out_.Close() && error == 0)
        error = errno;
    if (!temp_.empty() && (error != 0 || result_.Skipped))
        ::unlinkat(dir_.Fd, temp_.c_str(), 0);
    // Partials for this name that could not be taken over at the start are of no use now.
    if (error == 0 && partial_ && !result_.Skipped)
        RemoveLeftPartials(dir_.Fd, name_);
    // The new name must be on disk too before a moved source may go.
    if (error == 0 && options_.SyncTarget)
        ::fsync(dir_.Fd); // an O_PATH descriptor cannot: the file's own fsync then stands
    return error;
}

int TTargetWriter::Create() {
    // Permission bits only: set-user/group-ID would grant the copier's identity, not the
    // original owner's. The owner may write while we fill the file (extended attributes
    // need it); the mode is put right at the end where the umask or an ACL changed it.
    const mode_t mode = source_.st_mode & 0777;
    const mode_t createMode = mode | S_IRUSR | S_IWUSR;
    setMode_ = context_.Umask() < 0 || dir_.DefaultAcl ||
               (createMode & ~static_cast<mode_t>(context_.Umask())) != mode;

    // The data goes into an unnamed file that gets its name only when complete: a failed,
    // cancelled or killed copy leaves nothing under any name. A large file goes into a
    // partial instead, which a killed copy leaves for the next to continue.
    const bool resumable = source_.st_size >= ResumableFrom;
    if (!dir_.NoUnnamed && !resumable) {
        out_ = TFd(::openat(dir_.Fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode));
        if (out_)
            return 0;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return errno;
        dir_.NoUnnamed = true;
    }
    // With a named temporary the refusals must come before a rename that may replace,
    // which would not fail. A small file's come with the look at the name that comes just
    // before it anyway: on a share, where every look is a round trip, one fewer. A large
    // file's, whose copy would be wasted, come first. Where the name is taken only while
    // free (skip, keep both), nothing is replaced, so nothing is refused.
    const TExistingTargets policy = options_.Existing;
    const bool replaces =
        policy == TExistingTargets::Overwrite || policy == TExistingTargets::Newer;
    refusalsAtName_ = replaces && !resumable;
    if (replaces && resumable)
        if (int error = NamingError(dir_.Fd, nullptr, CheckTarget(dir_.Fd, name_, source_)))
            return error;
    int error = 0;
    if (resumable) {
        TPartialFile partial;
        out_ = TakeOverPartial(dir_.Fd, name_, in_.Get(), source_, options_.Verify, options_.Cancel,
                               partial);
        if (!out_)
            out_ = CreatePartial(dir_.Fd, createMode, PartialKeyOf(name_, source_), partial, error);
        if (out_) {
            temp_ = partial.Name;
            partial_ = std::move(partial);
        }
    }
    // What a killed copy left here goes before we add our own.
    if (context_.FirstSweep(dir_))
        RemoveStaleTemps(dir_.Fd);
    if (!out_)
        out_ = TFd(CreateNamedTemp(dir_.Fd, createMode, temp_, error));
    // A share's server applies a umask of its own: the mode is set again only where the new
    // file did not get it (its attributes come with the create, a share is not asked twice).
    struct stat made;
    if (out_)
        setMode_ = ::fstat(out_.Get(), &made) != 0 || (made.st_mode & 07777) != mode;
    return error;
}

int TTargetWriter::WriteContent() {
    std::optional<TContentHash> written;
    if (options_.Verify)
        written.emplace();
    // A continued copy is verified whole: the source's bytes before the partial's end are
    // hashed as if written now, and the file read back from its first byte.
    const int64_t from = partial_ ? partial_->Length : 0;
    result_.ContinuedAt = from;
    if (written && from > 0)
        if (int error = HashFileContent(in_.Get(), *written, options_.Cancel, from))
            return error;
    Report(options_, {source_.st_size - from, 0, true, dir_.Device, from});
    std::optional<TPartialCopy> steps;
    if (partial_)
        steps = TPartialCopy{
            from, PartialStep,
            [this](int64_t end) { return MarkPartial(dir_.Fd, out_.Get(), *partial_, end); },
            [this] {
                // Its name is removed apart too: the journal may hold that up as long.
                if (CloseApart(out_.Get(), dir_.Fd, partial_->Name.c_str()))
                    partial_->Name.clear();
            }};
    int error = CopyData(in_.Get(), out_.Get(), source_, dir_.Device, options_,
                         written ? &*written : nullptr, steps ? &*steps : nullptr);
    // A mark renames the partial.
    if (partial_)
        temp_ = partial_->Name;
    if (error == 0)
        error = CopyXattrs(in_.Get(), out_.Get(), result_.AttributesRefused);
    // A source written to meanwhile gave a copy that is part old, part new, and one that
    // shrank (a sparse copy stops at its new end) a torn one: neither is a copy of it.
    struct stat after;
    if (error == 0 && ::fstat(in_.Get(), &after) == 0 &&
        (after.st_size != source_.st_size || after.st_mtim.tv_sec != source_.st_mtim.tv_sec ||
         after.st_mtim.tv_nsec != source_.st_mtim.tv_nsec))
        error = errSourceChangedDuringCopy;
    if (error == 0 && written)
        error = Verify(*written);
    return error;
}

int TTargetWriter::Verify(const TContentHash& written) {
    if (options_.AfterWriteForTesting)
        options_.AfterWriteForTesting(out_.Get());
    // On the device, out of the cache, and read back from there: what a later reader of
    // the disk gets is what was written.
    if (::fdatasync(out_.Get()) != 0)
        return errno;
    ::posix_fadvise(out_.Get(), 0, 0, POSIX_FADV_DONTNEED);
    // A named temporary (FUSE, shares) is read back through its own descriptor: a second
    // open there is released only after the file has been renamed, and a FUSE file system
    // then hides the file it replaces instead of removing it (".fuse_hidden…").
    if (!temp_.empty()) {
        TContentHash read;
        if (int error = HashFileContent(out_.Get(), read, options_.Cancel))
            return error;
        return read.Digest() == written.Digest() ? 0 : errVerificationFailed;
    }
    // The unnamed file was opened write-only: it is read through /proc (the same inode),
    // with O_DIRECT where the file system has it: past the cache, and at the device's pace
    // rather than the read-ahead's.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", out_.Get());
    for (int flags : {O_DIRECT, 0}) {
        TFd back(::open(self, O_RDONLY | O_CLOEXEC | flags));
        if (!back && errno == EINVAL && flags)
            continue;
        if (!back)
            return errno;
        TContentHash read;
        int error = HashFileContent(back.Get(), read, options_.Cancel);
        if (error == EINVAL && flags)
            continue; // the file system takes the flag but not these reads
        if (error)
            return error;
        return read.Digest() == written.Digest() ? 0 : errVerificationFailed;
    }
    return EINVAL;
}

int TTargetWriter::SetModeAndTimes() {
    // A file system that cannot keep modes or times (FAT, exFAT, many shares) may refuse
    // them: the copy stands without them, as with cp -p. One that takes a mode and keeps
    // another is not asked again for the files of that directory.
    const mode_t mode = source_.st_mode & 0777;
    if (setMode_ && !dir_.ModesIgnored) {
        struct stat st;
        if (::fchmod(out_.Get(), mode) != 0) {
            if (!Unkeepable(errno))
                return errno;
            dir_.ModesIgnored = true;
        } else if (!dir_.ModeChecked) {
            dir_.ModeChecked = true;
            dir_.ModesIgnored = ::fstat(out_.Get(), &st) == 0 && (st.st_mode & 0777) != mode;
        }
    }
    struct timespec times[2] = {source_.st_atim, source_.st_mtim};
    if (::futimens(out_.Get(), times) != 0 && !Unkeepable(errno))
        return errno;
    if (options_.SyncTarget && ::fsync(out_.Get()) != 0)
        return errno;
    return 0;
}

int TTargetWriter::Name() {
    const int dirFd = dir_.Fd;
    const TExistingTargets policy = options_.Existing;
    const bool free = policy == TExistingTargets::Skip || policy == TExistingTargets::KeepBoth;
    const TTargetRecord record = RecordFor(options_, dir_, result_.Source);
    struct stat made;
    if (record.Filled && ::fstat(out_.Get(), &made) != 0)
        return errno;
    if (temp_.empty()) {
        const int fd = out_.Get();
        auto link = [&](const char* name) {
            return NamingError(dirFd, nullptr, LinkUnnamed(fd, dirFd, name));
        };
        if (free)
            return PlaceFree(policy, dirFd, name_, link, &result_.Skipped, &result_.TargetName);
        const auto hold = record.Hold(name_);
        int error = link(name_);
        if (error == EEXIST && !(error = MayTakeOver(record, true)))
            error = ReplaceWithUnnamed(fd, dirFd, name_);
        if (error == 0)
            record.Took(name_, made);
        return error;
    }
    // Network file systems may report a failed write only at the close.
    if (!out_.Close())
        return errno;
    auto renamed = [&](int error) {
        return error == 0 || error == EEXIST ? error : NamingError(dirFd, temp_.c_str(), error);
    };
    if (free)
        return PlaceFree(
            policy, dirFd, name_,
            [&](const char* name) { return renamed(RenameIfFree(dir_, temp_.c_str(), name)); },
            &result_.Skipped, &result_.TargetName);
    const auto hold = record.Hold(name_);
    // A free name is taken by a step that fails where it is taken, with no look first
    // (SSHFS renames at a cost that grows with its cache); only a taken one is looked at,
    // and replaced by a rename. Not where that step would be a reservation of the name
    // first (exFAT through FUSE): there a look and a rename cost less.
    int error = EEXIST;
    if (!(dir_.NoReplaceRefused && dir_.NoHardLinks))
        error = renamed(RenameIfFree(dir_, temp_.c_str(), name_));
    if (error == EEXIST && !(error = renamed(MayTakeOver(record, refusalsAtName_))))
        error = renamed(::renameat(dirFd, temp_.c_str(), dirFd, name_) == 0 ? 0 : errno);
    if (error == 0)
        record.Took(name_, made);
    return error;
}

int TTargetWriter::MayTakeOver(const TTargetRecord& record, bool refusals) const {
    if (!refusals && !record.Filled)
        return 0;
    struct stat st;
    const struct stat* there;
    int error = LookAtTarget(dir_.Fd, name_, st, there);
    if (error == 0 && refusals)
        error = RefusalOf(there, source_);
    return error ? error : record.MayReplace(name_, there);
}

} // namespace

// --- The copy --------------------------------------------------------------------------

namespace {

// A source looked up once by its name in its (open) directory.
struct TSourceName {
    int DirFd = AT_FDCWD;
    const char* Name = nullptr;
    std::shared_ptr<const TFd> DirHandle;
    struct stat Stat {};
    // The cached directory taken without its own check: the file opened there must be the
    // one Stat, looked up by the whole path, found.
    TCopyContext::TDir* Unproven = nullptr;
};

// 0 when source is a regular file or a link; else why not, with result.SourceMissing set
// where nothing is there.
int LookUpSource(const std::string& source, TCopyContext& context, bool move, TSourceName& src,
                 TCopyResult& result) {
    src.Name = source.c_str();
    const std::string_view leaf = NameView(source);
    if (IsPlainName(leaf)) {
        // A copy's regular file is found by one walk of its whole path, and the cached
        // directory is then proven by the file opened in it (OpenSource): one lookup
        // fewer than proving the directory first. A Move's directory is proven by its own
        // path, as is a link's: the source is removed or read through it later.
        bool proven = false;
        if (!move) {
            // A path too long for one walk is found through its directory, as a Move's.
            if (::lstat(source.c_str(), &src.Stat) == 0) {
                proven = S_ISREG(src.Stat.st_mode);
            } else if (errno != ENAMETOOLONG) {
                result.SourceMissing = true;
                return errno;
            }
        }
        int error = 0;
        TCopyContext::TDir* dir = proven ? context.UncheckedSourceDir(DirectoryView(source), error)
                                         : context.SourceDir(DirectoryView(source), error);
        if (!dir) {
            result.SourceMissing = true;
            return error;
        }
        src.DirFd = dir->Fd;
        src.DirHandle = dir->Handle;
        src.Name = leaf.data(); // the tail of source: NUL-terminated
        if (proven) {
            src.Unproven = dir;
            return 0;
        }
    }
    if (::fstatat(src.DirFd, src.Name, &src.Stat, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        result.SourceMissing = true;
        return error;
    }
    if (S_ISDIR(src.Stat.st_mode))
        return EISDIR;
    // Opening a fifo blocks until a writer comes, a device may rewind a tape or arm a
    // watchdog: never open.
    if (!S_ISREG(src.Stat.st_mode) && !S_ISLNK(src.Stat.st_mode))
        return errSpecialFile;
    return 0;
}

// The target's open directory, with its leaf in *name; nullptr with result.Error set when
// there is none.
TCopyContext::TDir* LookUpTarget(const std::string& target, TCopyContext& context,
                                 const char** name, TCopyResult& result) {
    const std::string_view leaf = NameView(target);
    if (!IsPlainName(leaf)) {
        result.Error = EISDIR;
        return nullptr;
    }
    *name = leaf.data();
    TCopyContext::TDir* dir = context.TargetDir(DirectoryView(target), result.Error);
    if (dir && !dir->PathOnly) {
        result.TargetDir = dir->Handle;
        result.TargetDevice = dir->Device;
    }
    return dir;
}

// Opens the regular file looked up; from here on the open file is what counts (it may have
// been replaced since the lookup), and src.Stat is its own. A cached directory that turns
// out to hold another file than the path leads to (renamed or replaced since it was
// opened) is opened afresh by its path, and the file in it.
int OpenSource(TSourceName& src, TFd& in, TCopyContext& context) {
    auto open = [&] {
        in = TFd(::openat(src.DirFd, src.Name,
                          O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        return in ? 0 : errno;
    };
    struct stat found = src.Stat;
    int error = open();
    if (error == 0 && ::fstat(in.Get(), &src.Stat) != 0)
        error = errno;
    if (src.Unproven && (error != 0 || !SameInode(found, src.Stat))) {
        const std::string path = src.Unproven->Path;
        context.Forget(*src.Unproven);
        src.Unproven = nullptr;
        TCopyContext::TDir* dir = context.SourceDir(path, error);
        if (!dir)
            return error;
        src.DirFd = dir->Fd;
        src.DirHandle = dir->Handle;
        error = open();
        if (error == 0 && ::fstat(in.Get(), &src.Stat) != 0)
            error = errno;
    }
    if (error != 0)
        return error;
    if (!S_ISREG(src.Stat.st_mode))
        return S_ISDIR(src.Stat.st_mode) ? EISDIR : errSpecialFile;
    return 0;
}

} // namespace

TCopyResult CopyFileWithProgress(const std::string& source, const std::string& target,
                                 const TCopyOptions& options, TCopyContext* context) {
    std::optional<TCopyContext> oneCopy;
    if (!context)
        context = &oneCopy.emplace(TCopyContext::TOneCopy{});
    TCopyResult result;
    TSourceName src;
    if ((result.Error = LookUpSource(source, *context, options.Move, src, result)))
        return result;
    const char* dstName = nullptr;
    TCopyContext::TDir* dstDir = LookUpTarget(target, *context, &dstName, result);
    if (!dstDir)
        return result;

    if (S_ISLNK(src.Stat.st_mode)) {
        TCopyResult link = CopySymlink(src.DirFd, src.Name, src.Stat, *dstDir, dstName, options);
        link.Copied = {std::move(src.DirHandle), src.Name, link.Source};
        link.TargetDir = std::move(result.TargetDir);
        link.TargetDevice = result.TargetDevice;
        return link;
    }
    TFd in;
    if ((result.Error = OpenSource(src, in, *context)))
        return result;
    result.Source = IdentityOf(src.Stat);
    result.Copied = {std::move(src.DirHandle), src.Name, result.Source};
    result.Error =
        TTargetWriter(*context, *dstDir, dstName, options, result).Run(std::move(in), src.Stat);
    return result;
}

int TCopiedSource::DirFd() const {
    return Dir ? Dir->Get() : AT_FDCWD;
}

TSourceState SourceStateOf(const TCopiedSource& source) {
    struct stat st;
    if (::fstatat(source.DirFd(), source.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? TSourceState::Gone : TSourceState::Other;
    const TFileIdentity now = IdentityOf(st);
    const TFileIdentity& then = source.Identity;
    return then.Valid && now.Device == then.Device && now.Inode == then.Inode &&
                   now.Size == then.Size && now.MTimeNs == then.MTimeNs
               ? TSourceState::Copied
               : TSourceState::Other;
}

int UnlinkCopiedSource(const TCopiedSource& source) {
    if (SourceStateOf(source) != TSourceState::Copied)
        return errSourceChanged;
    return ::unlinkat(source.DirFd(), source.Name.c_str(), 0) == 0 ? 0 : errno;
}

int TrashCopiedSource(const TCopiedSource& source, const std::string& sourcePath) {
    if (SourceStateOf(source) != TSourceState::Copied)
        return errSourceChanged;
    return MoveToTrashAt(source.DirFd(), source.Name, sourcePath);
}

int MakeCopiedSourceWritable(const TCopiedSource& source) {
    struct stat st;
    if (SourceStateOf(source) != TSourceState::Copied)
        return errSourceChanged;
    if (::fstatat(source.DirFd(), source.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    // A link's own mode means nothing on Linux, and chmod would follow it.
    if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR))
        return 0;
    return ::fchmodat(source.DirFd(), source.Name.c_str(), (st.st_mode & 07777) | S_IWUSR, 0) == 0
               ? 0
               : errno;
}

} // namespace ferrox
