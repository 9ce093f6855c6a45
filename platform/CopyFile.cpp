#include "platform/CopyFile.h"

#include "platform/SysError.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

constexpr char TempPrefix[] = ".ferrox-";
constexpr char TempSuffix[] = ".part";
constexpr size_t TempPrefixLen = sizeof TempPrefix - 1;
constexpr size_t TempSuffixLen = sizeof TempSuffix - 1;
constexpr size_t TempRandomLen = 6;

constexpr size_t FirstRangeChunk = 1 << 20;
constexpr size_t MaxRangeChunk = 32 << 20;
constexpr size_t BufferChunk = 256 << 10;
// A chunk quicker than this may double; one slower than ShrinkAbove halves. Between the
// two, a cancel and the next progress report are at most about 50 ms away.
constexpr std::chrono::nanoseconds GrowBelow = std::chrono::milliseconds(12);
constexpr std::chrono::nanoseconds ShrinkAbove = std::chrono::milliseconds(40);

bool Cancelled(const TCopyOptions& options) {
    return options.Cancel && options.Cancel->load(std::memory_order_relaxed) != 0;
}

void Report(const TCopyOptions& options, int64_t total, int64_t done, uint32_t reason) {
    if (options.Progress)
        options.Progress(total, done, reason, options.Data);
}

// A name that can be opened relative to its directory; "", "." and ".." cannot.
bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != "..";
}

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

// The umask, read without setting it: umask() can only be read by changing it, which
// would for a moment apply to files other threads create.
int ReadUmask() {
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[2048];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    const char* at = std::strstr(buf, "\nUmask:");
    if (!at)
        return -1;
    char* end = nullptr;
    long mask = std::strtol(at + 7, &end, 8);
    return end == at + 7 || mask < 0 || mask > 0777 ? -1 : static_cast<int>(mask);
}

// New files in a directory with a default ACL take their mode from it, not from the umask.
bool HasDefaultAcl(int dirFd) {
    if (::fgetxattr(dirFd, "system.posix_acl_default", nullptr, 0) >= 0)
        return true;
    // Unknown (an O_PATH descriptor, say) counts as present: the mode is then set outright.
    return !(errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP);
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

// copy_file_range sizes: doubled while chunks are quick, so a large file costs few calls,
// halved when one is slow, so the copy still looks at the cancel flag often enough.
class TChunker {
public:
    size_t Size() const { return size_; }
    void Begin() { start_ = std::chrono::steady_clock::now(); }
    void End(size_t copied) {
        if (copied < size_)
            return; // a short chunk (the end of the file) says nothing about the speed
        auto took = std::chrono::steady_clock::now() - start_;
        if (took < GrowBelow && size_ < MaxRangeChunk)
            size_ *= 2;
        else if (took > ShrinkAbove && size_ > FirstRangeChunk)
            size_ /= 2;
    }

private:
    size_t size_ = FirstRangeChunk;
    std::chrono::steady_clock::time_point start_;
};

char* CopyBuffer() {
    // One buffer per copying thread, made on its first fallback copy and kept.
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer)
        buffer.reset(new char[BufferChunk]);
    return buffer.get();
}

int CopyByBuffer(int in, int out, TProgress& progress) {
    char* buffer = CopyBuffer();
    for (;;) {
        ssize_t n = ::read(in, buffer, BufferChunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        if (int error = WriteAll(out, std::string_view(buffer, static_cast<size_t>(n))))
            return error;
        if (int error = progress.Chunk(n))
            return error;
    }
}

bool RangeUnsupported(int error) {
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP;
}

// copy_file_range, or the buffer when the kernel cannot do it for these two files.
int CopyByRange(int in, int out, TProgress& progress) {
    TChunker chunker;
    for (;;) {
        chunker.Begin();
        const size_t asked = chunker.Size();
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, asked, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int error = errno;
            if (progress.Done == 0 && RangeUnsupported(error))
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
        chunker.End(static_cast<size_t>(n));
        if (int error = progress.Chunk(n))
            return error;
        // Less than asked, and exactly the size fstat gave: the call stopped at the end of
        // the file, so a further call to hear "0" would only cost a system call per file.
        if (static_cast<size_t>(n) < asked && progress.Done == progress.Announced)
            return 0;
    }
}

// Copies the bytes [from, to) of in to the same offsets of out; `reached` is where the
// data really ended (before `to` when the source shrank meanwhile).
int CopyRangeAt(int in, int out, off_t from, off_t to, TProgress& progress, TChunker& chunker,
                bool& byBuffer, off_t& reached) {
    while (from < to) {
        size_t want = static_cast<size_t>(to - from);
        ssize_t n;
        if (!byBuffer) {
            if (want > chunker.Size())
                want = chunker.Size();
            loff_t inAt = from, outAt = from;
            chunker.Begin();
            n = ::copy_file_range(in, &inAt, out, &outAt, want, 0);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (!RangeUnsupported(errno))
                    return errno;
                byBuffer = true;
                continue;
            }
            chunker.End(static_cast<size_t>(n));
        } else {
            if (want > BufferChunk)
                want = BufferChunk;
            char* buffer = CopyBuffer();
            n = ::pread(in, buffer, want, from);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            if (int error = PWriteAll(out, {buffer, static_cast<size_t>(n)}, from))
                return error;
        }
        if (n == 0)
            break;
        from += n;
        if (int error = progress.Chunk(n))
            return error;
    }
    reached = from;
    return 0;
}

// A file with fewer blocks than its size has holes: only its data is copied, at the same
// offsets, and the holes stay holes in the copy (cp does the same by default). Returns
// EOPNOTSUPP, before writing anything, where the file system cannot tell data from holes.
int CopySparse(int in, int out, off_t size, TProgress& progress) {
    TChunker chunker;
    bool byBuffer = false;
    off_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole up to the end
            if (pos == 0 && (errno == EINVAL || errno == EOPNOTSUPP))
                return EOPNOTSUPP;
            return errno;
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return errno;
        if (data > pos)
            if (int error = progress.Chunk(data - pos))
                return error;
        off_t reached = data;
        if (int error = CopyRangeAt(in, out, data, hole, progress, chunker, byBuffer, reached))
            return error;
        pos = reached;
        if (reached < hole) {
            size = reached; // the source shrank: it ends here
            break;
        }
    }
    if (pos < size && progress.Chunk(size - pos) != 0)
        return ECANCELED;
    // The trailing hole, if any, is only a length.
    if (::ftruncate(out, pos > size ? pos : size) != 0)
        return errno;
    return 0;
}

bool TryClone(int in, int out, dev_t sourceDevice, dev_t targetDevice) {
    if (NoClone.Contains(sourceDevice, targetDevice))
        return false;
    if (::ioctl(out, FICLONE, in) == 0)
        return true;
    int error = errno;
    if (error == EOPNOTSUPP || error == EXDEV || error == EINVAL || error == ENOTTY)
        NoClone.Add(sourceDevice, targetDevice);
    // Anything else (a full disk, a quota) is left for the ordinary copy to meet and report.
    return false;
}

int CopyData(int in, int out, const struct stat& sourceStat, dev_t targetDevice,
             const TCopyOptions& options) {
    TProgress progress{options, sourceStat.st_size};
    if (Cancelled(options))
        return ECANCELED;
    int error = 0;
    const bool holes = static_cast<int64_t>(sourceStat.st_blocks) * 512 < sourceStat.st_size;
    if (sourceStat.st_size > 0 && TryClone(in, out, sourceStat.st_dev, targetDevice)) {
        error = progress.Chunk(sourceStat.st_size);
    } else if (sourceStat.st_size > 0 && holes &&
               (error = CopySparse(in, out, sourceStat.st_size, progress)) != EOPNOTSUPP) {
        // copied, or failed, with the holes kept
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

// --- Extended attributes ---------------------------------------------------------------

// Grows buffer until the call (which returns -1/ERANGE when it is too small) fits.
template <class TCall> ssize_t WithBuffer(std::vector<char>& buffer, TCall call) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = call(buffer.data(), buffer.size());
        if (n >= 0 || errno != ERANGE)
            return n;
        ssize_t need = call(nullptr, 0);
        if (need < 0)
            return need;
        buffer.resize(static_cast<size_t>(need) + 64);
    }
    errno = ERANGE;
    return -1;
}

// Extended attributes, POSIX ACLs among them, as far as the target takes them: a file
// system without them, a name space closed to us or a value too large for it leaves the
// copy without that attribute, as cp -a does. Only a failing device fails the copy.
int CopyXattrs(int in, int out) {
    thread_local std::vector<char> names(1024), value(4096);
    ssize_t length =
        WithBuffer(names, [in](char* buf, size_t size) { return ::flistxattr(in, buf, size); });
    if (length <= 0)
        return length < 0 && errno == EIO ? EIO : 0;
    for (const char* name = names.data(); name < names.data() + length;
         name += std::strlen(name) + 1) {
        // The security label is the policy's to give in the new place; file capabilities
        // grant privileges, like set-user-ID, which a copy does not carry over either.
        if (std::strcmp(name, "security.selinux") == 0 ||
            std::strcmp(name, "security.capability") == 0)
            continue;
        ssize_t size = WithBuffer(
            value, [in, name](char* buf, size_t cap) { return ::fgetxattr(in, name, buf, cap); });
        if (size < 0) {
            if (errno == EIO)
                return EIO;
            continue;
        }
        if (::fsetxattr(out, name, value.data(), static_cast<size_t>(size), 0) != 0 && errno == EIO)
            return EIO;
    }
    return 0;
}

// --- Names -----------------------------------------------------------------------------

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

// --- Symbolic links ------------------------------------------------------------------

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
        error = ::symlinkat(link, dstDir.Fd, dstName) == 0 ? 0 : errno;
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
            error = ::symlinkat(link, dstDir.Fd, temp.c_str()) == 0 ? 0 : errno;
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

// --- The context ---------------------------------------------------------------------

TCopyContext::TCopyContext() = default;

TCopyContext::TCopyContext(TOneCopy) : umaskRead_(true) {}

int TCopyContext::Umask() {
    if (!umaskRead_) {
        umask_ = ReadUmask();
        umaskRead_ = true;
    }
    return umask_;
}

TCopyContext::~TCopyContext() {
    if (source_.Fd >= 0)
        ::close(source_.Fd);
    if (target_.Fd >= 0)
        ::close(target_.Fd);
}

TCopyContext::TDir* TCopyContext::SourceDir(std::string_view path, int& error) {
    return Open(source_, path, false, error);
}

TCopyContext::TDir* TCopyContext::TargetDir(std::string_view path, int& error) {
    return Open(target_, path, true, error);
}

TCopyContext::TDir* TCopyContext::Open(TDir& dir, std::string_view path, bool target, int& error) {
    auto now = std::chrono::steady_clock::now();
    if (dir.Fd >= 0 && dir.Path == path && now - dir.LastUse < MaxIdle) {
        dir.LastUse = now;
        return &dir;
    }
    if (dir.Fd >= 0)
        ::close(dir.Fd);
    dir = TDir{};
    dir.Path.assign(path);
    // Reading a source directory is never needed, only looking up its names; a target
    // directory is read for its default ACL when we may.
    int fd = -1;
    if (target)
        fd = ::open(dir.Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && (!target || errno == EACCES))
        fd = ::open(dir.Path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = errno;
        if (fd >= 0)
            ::close(fd);
        dir.Path.clear();
        return nullptr;
    }
    dir.Fd = fd;
    dir.LastUse = now;
    dir.Device = st.st_dev;
    if (target)
        dir.DefaultAcl = HasDefaultAcl(fd);
    ++opens_;
    return &dir;
}

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
            error = CheckTarget(dstDir->Fd, dstName, sourceStat);
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

    if (error == 0 && setMode && ::fchmod(out, mode) != 0)
        error = errno;
    if (error == 0) {
        struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
        if (::futimens(out, times) != 0)
            error = errno;
    }
    if (error == 0 && options.SyncTarget && ::fsync(out) != 0)
        error = errno;
    if (unnamed) {
        if (error == 0) {
            error = LinkUnnamed(out, dstDir->Fd, dstName);
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
            error = errno;
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
