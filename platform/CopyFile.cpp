#include "platform/CopyFile.h"

#include "platform/SysError.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrox {

namespace {

constexpr char TempPrefix[] = ".ferrox-";
constexpr char TempSuffix[] = ".part";
constexpr size_t TempPrefixLen = sizeof TempPrefix - 1;
constexpr size_t TempSuffixLen = sizeof TempSuffix - 1;
constexpr size_t TempRandomLen = 6; // what mkostemps fills in

constexpr size_t RangeChunk = 1 << 20;
constexpr size_t BufferChunk = 256 << 10;

bool Cancelled(const TCopyOptions& options) {
    return options.Cancel && options.Cancel->load(std::memory_order_relaxed) != 0;
}

void Report(const TCopyOptions& options, int64_t total, int64_t done, uint32_t reason) {
    if (options.Progress)
        options.Progress(total, done, reason, options.Data);
}

// Where a temporary file for target goes: its directory, under a name of ours with
// TempRandomLen placeholders followed by TempSuffix.
std::string TempTemplateFor(const std::string& target) {
    size_t slash = target.rfind(PathDelim);
    size_t dirLen = slash == std::string::npos ? 0 : slash + 1;
    std::string name;
    name.reserve(dirLen + TempPrefixLen + TempRandomLen + TempSuffixLen);
    name.append(target, 0, dirLen);
    name.append(TempPrefix);
    name.append(TempRandomLen, 'X');
    name.append(TempSuffix);
    return name;
}

// --- Which device pairs cannot clone ------------------------------------------------
//
// A failed FICLONE costs little, but a queue of many small files between two file
// systems would issue it for every one; once a pair has said no, it keeps saying no.

struct TDevicePair {
    dev_t Source;
    dev_t Target;
};

class TNoCloneTable {
public:
    bool Contains(dev_t source, dev_t target) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < count_; ++i)
            if (pairs_[i].Source == source && pairs_[i].Target == target)
                return true;
        return false;
    }

    void Add(dev_t source, dev_t target) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < count_; ++i)
            if (pairs_[i].Source == source && pairs_[i].Target == target)
                return;
        // A full table only means a few more cheap, failing ioctls: overwrite round-robin.
        pairs_[next_] = {source, target};
        next_ = (next_ + 1) % Capacity;
        if (count_ < Capacity)
            ++count_;
    }

private:
    static constexpr size_t Capacity = 32;
    std::mutex mutex_;
    TDevicePair pairs_[Capacity] = {};
    size_t count_ = 0;
    size_t next_ = 0;
};

TNoCloneTable NoClone;

// The device of target's directory. Queues copy many files into one directory in a row,
// so the last answer is kept per thread and a stat is paid only when the directory changes.
// A stale answer (a mount appearing meanwhile) costs only a missed or a failed clone.
bool TargetDirDevice(const std::string& target, dev_t& device) {
    thread_local std::string lastDir;
    thread_local dev_t lastDevice = 0;
    thread_local bool lastValid = false;

    size_t slash = target.rfind(PathDelim);
    size_t dirLen = slash == std::string::npos ? 0 : (slash == 0 ? 1 : slash);
    if (lastValid && lastDir.size() == dirLen && target.compare(0, dirLen, lastDir) == 0) {
        device = lastDevice;
        return true;
    }
    lastDir.assign(target, 0, dirLen);
    struct stat st;
    if (::stat(dirLen == 0 ? "." : lastDir.c_str(), &st) != 0) {
        lastValid = false;
        return false;
    }
    lastDevice = st.st_dev;
    lastValid = true;
    device = lastDevice;
    return true;
}

// --- Data ----------------------------------------------------------------------------

// Progress as the data goes; the size from fstat is what we announce, but what was
// really read is what we report once the source turns out longer or shorter.
struct TProgress {
    const TCopyOptions& Options;
    int64_t Announced;
    int64_t Done = 0;

    // 0, or ECANCELED when the user asked to stop.
    int Chunk(int64_t bytes) {
        Done += bytes;
        Report(Options, Done > Announced ? Done : Announced, Done, CALLBACK_CHUNK_FINISHED);
        return Cancelled(Options) ? ECANCELED : 0;
    }

    void Finish() {
        if (Done < Announced)
            Report(Options, Done, Done, CALLBACK_CHUNK_FINISHED);
    }
};

int CopyByBuffer(int in, int out, TProgress& progress) {
    // One buffer per copying thread, made on its first fallback copy and kept.
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer)
        buffer.reset(new char[BufferChunk]);
    for (;;) {
        ssize_t n = ::read(in, buffer.get(), BufferChunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        if (int error = WriteAll(out, std::string_view(buffer.get(), static_cast<size_t>(n))))
            return error;
        if (int error = progress.Chunk(n))
            return error;
    }
}

// copy_file_range, or the buffer when the kernel cannot do it for these two files.
int CopyByRange(int in, int out, TProgress& progress) {
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, RangeChunk, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int error = errno;
            if (progress.Done == 0 &&
                (error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP))
                return CopyByBuffer(in, out, progress);
            return error;
        }
        if (n == 0) {
            // Files of /proc and /sys claim a size but give nothing to copy_file_range;
            // read() is the judge of whether the source is really empty.
            if (progress.Done == 0)
                return CopyByBuffer(in, out, progress);
            return 0;
        }
        if (int error = progress.Chunk(n))
            return error;
    }
}

bool TryClone(int in, int out, dev_t sourceDevice, bool targetKnown, dev_t targetDevice) {
    if (targetKnown && NoClone.Contains(sourceDevice, targetDevice))
        return false;
    if (::ioctl(out, FICLONE, in) == 0)
        return true;
    int error = errno;
    if (targetKnown &&
        (error == EOPNOTSUPP || error == EXDEV || error == EINVAL || error == ENOTTY))
        NoClone.Add(sourceDevice, targetDevice);
    // Anything else (a full disk, a quota) is left for the ordinary copy to meet and report.
    return false;
}

int CopyData(int in, int out, const struct stat& sourceStat, bool targetKnown, dev_t targetDevice,
             const TCopyOptions& options) {
    TProgress progress{options, sourceStat.st_size};
    if (Cancelled(options))
        return ECANCELED;
    int error = 0;
    if (sourceStat.st_size > 0 && TryClone(in, out, sourceStat.st_dev, targetKnown, targetDevice)) {
        error = progress.Chunk(sourceStat.st_size);
    } else if (sourceStat.st_size > 0) {
        error = CopyByRange(in, out, progress);
    } else {
        // Empty by fstat: one read tells whether it really is.
        error = CopyByBuffer(in, out, progress);
    }
    if (error == 0)
        progress.Finish();
    return error;
}

// --- Symbolic links ------------------------------------------------------------------

// Fills the TempRandomLen placeholders in name with letters and digits, as mkostemps does.
void FillRandomName(std::string& name) {
    static constexpr char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[TempRandomLen];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Entropy is not a matter here, only a fresh name; symlink() retries on a clash.
        static std::atomic<uint32_t> counter{0};
        uint32_t seed = static_cast<uint32_t>(::getpid()) * 2654435761u + counter++;
        for (auto& b : bytes) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<unsigned char>(seed >> 16);
        }
    }
    size_t at = name.size() - TempSuffixLen - TempRandomLen;
    for (size_t i = 0; i < TempRandomLen; ++i)
        name[at + i] = Alphabet[bytes[i] % (sizeof Alphabet - 1)];
}

TCopyResult CopySymlink(const std::string& source, const std::string& target,
                        const struct stat& sourceStat, const TCopyOptions& options) {
    TCopyResult result;
    result.Source = IdentityOf(sourceStat);

    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) == 0 && targetStat.st_dev == sourceStat.st_dev &&
        targetStat.st_ino == sourceStat.st_ino) {
        result.Error = errSameFile;
        return result;
    }

    char link[PATH_MAX];
    ssize_t length = ::readlink(source.c_str(), link, sizeof link);
    if (length < 0) {
        result.Error = errno;
        return result;
    }
    if (static_cast<size_t>(length) >= sizeof link) {
        result.Error = ENAMETOOLONG;
        return result;
    }
    link[length] = '\0';

    Report(options, length, 0, CALLBACK_STREAM_SWITCH);
    if (Cancelled(options)) {
        result.Error = ECANCELED;
        return result;
    }

    std::string temp = TempTemplateFor(target);
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        FillRandomName(temp);
        error = ::symlink(link, temp.c_str()) == 0 ? 0 : errno;
    }
    if (error == 0) {
        // A link's times are cosmetic and not every file system can set them: no failure.
        struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
        ::utimensat(AT_FDCWD, temp.c_str(), times, AT_SYMLINK_NOFOLLOW);
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            error = errno;
            ::unlink(temp.c_str());
        }
    }
    if (error == 0)
        Report(options, length, length, CALLBACK_CHUNK_FINISHED);
    result.Error = error;
    return result;
}

// --- Unnamed temporary files ----------------------------------------------------------
//
// A new target is written as an unnamed file (O_TMPFILE) and given its name only when it
// is complete: no temporary name to create and rename away, and nothing at all is left
// behind when the copy fails, is cancelled or the process dies. File systems without
// O_TMPFILE, and targets that exist already, take the named temporary file instead.

int OpenUnnamed(const std::string& target) {
    int fd = ::open(DirectoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        errno = EOPNOTSUPP; // the caller falls back to a named temporary file
    return fd;
}

// Gives the unnamed file its name; 0 or errno (EEXIST when the target appeared meanwhile).
int LinkUnnamed(int fd, const std::string& target) {
    // Linking by descriptor needs a capability; without it /proc names the file.
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL)
            return errno;
        emptyPathRefused.store(true, std::memory_order_relaxed);
    }
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// Puts the complete unnamed file in place of an existing target: a named link beside
// it, renamed over it in one step.
int ReplaceWithUnnamed(int fd, const std::string& target) {
    std::string temp = TempTemplateFor(target);
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        FillRandomName(temp);
        error = LinkUnnamed(fd, temp);
    }
    if (error != 0)
        return error;
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
        ::unlink(temp.c_str());
    }
    return error;
}

} // namespace

TCopyResult CopyFileWithProgress(const std::string& source, const std::string& target,
                                 const TCopyOptions& options) {
    TCopyResult result;
    struct stat sourceStat;
    if (::lstat(source.c_str(), &sourceStat) != 0) {
        result.Error = errno;
        return result;
    }
    if (S_ISLNK(sourceStat.st_mode))
        return CopySymlink(source, target, sourceStat, options);
    if (S_ISDIR(sourceStat.st_mode)) {
        result.Error = EISDIR;
        return result;
    }
    // Opening a fifo blocks until a writer comes, a device may rewind a tape: never open.
    if (!S_ISREG(sourceStat.st_mode)) {
        result.Error = errSpecialFile;
        return result;
    }

    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        result.Error = errno;
        return result;
    }
    // From here on the open file is what counts: it may have been replaced since lstat.
    int error = 0;
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

    // Same device and inode also catches other spellings of the path and hard links;
    // copying onto itself would leave the user with a truncated original.
    bool targetKnown = false;
    bool targetExists = false;
    dev_t targetDevice = 0;
    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) == 0) {
        targetExists = true;
        if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino)
            error = errSameFile;
        else if (S_ISDIR(targetStat.st_mode))
            error = EISDIR;
        targetKnown = true;
        targetDevice = targetStat.st_dev;
    } else {
        targetKnown = TargetDirDevice(target, targetDevice);
    }
    if (error != 0) {
        ::close(in);
        result.Error = error;
        return result;
    }

    // Written beside the target and renamed over it (or linked to its name) at the end, so
    // a failed or cancelled copy never leaves a half-written file under the target's name.
    std::string temp;
    int out = targetExists ? -1 : OpenUnnamed(target);
    const bool unnamed = out >= 0;
    if (!unnamed && (targetExists || errno == EOPNOTSUPP)) {
        temp = TempTemplateFor(target);
        out = ::mkostemps(temp.data(), static_cast<int>(TempSuffixLen), O_CLOEXEC);
    }
    if (out < 0) {
        result.Error = errno;
        ::close(in);
        return result;
    }

    Report(options, sourceStat.st_size, 0, CALLBACK_STREAM_SWITCH);
    error = CopyData(in, out, sourceStat, targetKnown, targetDevice, options);
    ::close(in);

    if (error == 0) {
        // Permission bits only: set-user/group-ID would grant the copier's identity, not
        // the original owner's.
        if (::fchmod(out, sourceStat.st_mode & 0777) != 0)
            error = errno;
    }
    if (error == 0) {
        struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
        if (::futimens(out, times) != 0)
            error = errno;
    }
    if (error == 0 && options.SyncTarget && ::fsync(out) != 0)
        error = errno;
    if (unnamed) {
        if (error == 0) {
            error = LinkUnnamed(out, target);
            if (error == EEXIST)
                error = ReplaceWithUnnamed(out, target);
        }
        // Closing an unnamed file that got no name frees it: nothing to clean up.
        if (::close(out) != 0 && error == 0 && errno != EINTR)
            error = errno;
    } else {
        // Network file systems may report a failed write only here.
        if (::close(out) != 0 && error == 0 && errno != EINTR)
            error = errno;
        if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
            error = errno;
        if (error != 0)
            ::unlink(temp.c_str());
    }
    result.Error = error;
    return result;
}

bool IsSameFileState(const std::string& path, const TFileIdentity& identity) {
    if (!identity.Valid)
        return false;
    TFileIdentity now = GetFileIdentity(path);
    return now.Valid && now.Device == identity.Device && now.Inode == identity.Inode &&
           now.Size == identity.Size && now.MTimeNs == identity.MTimeNs;
}

bool IsCopyTempName(const std::string& name) {
    size_t slash = name.rfind(PathDelim);
    std::string_view base(name);
    if (slash != std::string::npos)
        base.remove_prefix(slash + 1);
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
