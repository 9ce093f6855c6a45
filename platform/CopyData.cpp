#include "platform/CopyData.h"

#include "platform/ContentHash.h"
#include "platform/CopyPace.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

constexpr size_t FirstRangeChunk = 1 << 20;
constexpr size_t MaxRangeChunk = 32 << 20;
constexpr size_t BufferChunk = 256 << 10;
// A chunk quicker than this may double; one slower than ShrinkAbove halves. Between the
// two, a cancel and the next progress report are at most about 50 ms away.
constexpr std::chrono::nanoseconds GrowBelow = std::chrono::milliseconds(12);
constexpr std::chrono::nanoseconds ShrinkAbove = std::chrono::milliseconds(40);

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

// --- Writing behind the copy --------------------------------------------------------

// Starts the device writing each step as soon as it is copied, and lets the copy run at most
// a few MiB ahead of what the device has finished: a run that must end with its data on the
// disk then spends its time copying at the disk's pace (which its gauge and time left show)
// instead of filling the page cache in seconds and flushing for minutes after "100 %".
//
// How much is in flight is a trade. Too little starves a device that wants deep queues (4
// MiB in 16 took a loop device four times as long as 8 in 64, which kept up with cp and a
// sync). Too much holds a cancel: what is being written cannot be called back, and closing
// the cancelled file waits for it (64 MiB on a 5 MB/s stick kept the program 13 s). So the
// copy starts with little in flight, doubles it while the device keeps up, and otherwise
// keeps about MaxLag of the device's own pace in flight, measured from its waits; it waits
// one step at a time, looking at the cancel flag between.
class TWriteBehind {
public:
    // Writing starts at `from`: what lies before is the device's already.
    TWriteBehind(int fd, off_t from) : fd_(fd), started_(from), finished_(from) {}

    // The file is copied up to `end`.
    void Written(off_t end, const TCopyOptions& options) {
        if (end - started_ >= step_) {
            // Failures are left to the flush or fsync that follows, which reports them.
            ::sync_file_range(fd_, started_, end - started_, SYNC_FILE_RANGE_WRITE);
            started_ = end;
        }
        while (started_ - finished_ > inFlight_ && !Cancelled(options)) {
            const off_t length = std::min(step_, started_ - inFlight_ - finished_);
            const auto start = std::chrono::steady_clock::now();
            ::sync_file_range(fd_, finished_, length,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER);
            finished_ += length;
            Paced(length, std::chrono::steady_clock::now() - start);
        }
    }

    static constexpr off_t MaxInFlight = WriteBehindAbove;
    static constexpr off_t MinInFlight = 4 << 20;
    static constexpr std::chrono::milliseconds MaxLag{500};

private:
    // How much may be in flight after a wait of `took` for `length` bytes: twice as much
    // when the step was written already (the device keeps up); else MaxLag at the pace the
    // wait showed. In steps of an eighth.
    void Paced(off_t length, std::chrono::steady_clock::duration took) {
        const double seconds = std::chrono::duration<double>(took).count();
        if (seconds < 0.02) {
            inFlight_ = std::min(2 * inFlight_, MaxInFlight);
        } else {
            const double pace = double(length) / seconds; // bytes a second
            const double lag = std::chrono::duration<double>(MaxLag).count();
            inFlight_ = std::clamp(off_t(pace * lag), MinInFlight, MaxInFlight);
        }
        step_ = std::max<off_t>(inFlight_ / 8, 1 << 20);
    }

    int fd_;
    off_t inFlight_ = MinInFlight;
    off_t step_ = 1 << 20;
    off_t started_ = 0;  // writing started up to here
    off_t finished_ = 0; // written up to here
};

// --- Data ----------------------------------------------------------------------------

// Progress as the data goes; the size from fstat is what we announce, but what was
// really read is what we report once the source turns out longer or shorter. A continued
// copy reports only what it adds after Base.
struct TProgress {
    const TCopyOptions& Options;
    int64_t Announced;
    TContentHash* Hash;          // the bytes written, in order, when the copy is to be verified
    TWriteBehind* Behind;        // none: the page cache keeps what it likes
    const TPartialCopy* Partial; // none: nothing outlives a kill
    int64_t Base = 0;
    int64_t Done = Base; // the file's offset the copy has reached
    int64_t Marked = Base;

    // 0, or ECANCELED when the user asked to stop (or a partial's errno). A chunk that
    // wrote data (not a hole, not a clone's shared blocks) passes the run's pace: a pause
    // holds the copy here, in the middle of its file, and a cap makes it wait its turn.
    int Chunk(int64_t bytes, bool written = true) {
        Done += bytes;
        if (Behind)
            Behind->Written(Done, Options);
        if (Partial && Done - Marked >= Partial->Step) {
            if (int error = Partial->Mark(Done))
                return error;
            Marked = Done;
        }
        Report(Options, {(Done > Announced ? Done : Announced) - Base, Done - Base});
        if (written && Options.Pace && !Cancelled(Options))
            Options.Pace->Passed(bytes, Options.Cancel);
        return Cancelled(Options) ? ECANCELED : 0;
    }

    void Finish() {
        if (Done < Announced)
            Report(Options, {Done - Base, Done - Base});
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

// `want`, or less when the run's cap keeps chunks small.
size_t PacedChunk(const TCopyOptions& options, size_t want) {
    const int64_t limit = options.Pace ? options.Pace->ChunkLimit() : 0;
    return limit > 0 && size_t(limit) < want ? size_t(limit) : want;
}

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
        ssize_t n = ::read(in, buffer, PacedChunk(progress.Options, BufferChunk));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        if (int error = WriteAll(out, std::string_view(buffer, static_cast<size_t>(n))))
            return error;
        if (progress.Hash)
            progress.Hash->Update(buffer, size_t(n));
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
        const size_t asked = PacedChunk(progress.Options, chunker.Size());
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, asked, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int error = errno;
            if (progress.Done == progress.Base && RangeUnsupported(error))
                return CopyByBuffer(in, out, progress);
            return error;
        }
        if (n == 0) {
            // Files of /proc and /sys claim a size but give nothing to copy_file_range;
            // read() is the judge of whether the source is really empty.
            if (progress.Done == progress.Base)
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
            want = std::min(want, PacedChunk(progress.Options, chunker.Size()));
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
            want = std::min(want, PacedChunk(progress.Options, BufferChunk));
            char* buffer = CopyBuffer();
            n = ::pread(in, buffer, want, from);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            if (int error = PWriteAll(out, {buffer, static_cast<size_t>(n)}, from))
                return error;
            if (progress.Hash)
                progress.Hash->Update(buffer, size_t(n));
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
    // A hash must see the bytes: they pass through a buffer then.
    bool byBuffer = progress.Hash != nullptr;
    off_t pos = progress.Base;
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
        if (data > pos) {
            // A hole reads as zeros, in the copy as in the source.
            if (progress.Hash)
                progress.Hash->UpdateZeros(uint64_t(data - pos));
            if (int error = progress.Chunk(data - pos, false))
                return error;
        }
        off_t reached = data;
        if (int error = CopyRangeAt(in, out, data, hole, progress, chunker, byBuffer, reached))
            return error;
        pos = reached;
        if (reached < hole) {
            size = reached; // the source shrank: it ends here
            break;
        }
    }
    if (pos < size && progress.Hash)
        progress.Hash->UpdateZeros(uint64_t(size - pos));
    if (pos < size && progress.Chunk(size - pos, false) != 0)
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

} // namespace

int CopyData(int in, int out, const struct stat& sourceStat, dev_t targetDevice,
             const TCopyOptions& options, TContentHash* hash, const TPartialCopy* partial) {
    const int64_t from = partial ? partial->From : 0;
    std::optional<TWriteBehind> behind;
    if (options.WriteBehind && sourceStat.st_size > WriteBehindAbove)
        behind.emplace(out, from);
    TProgress progress{options, sourceStat.st_size, hash, behind ? &*behind : nullptr, partial,
                       from};
    if (Cancelled(options))
        return ECANCELED;
    // The implicit offsets of the sequential copies start where the partial ends.
    if (from > 0 && (::lseek(in, from, SEEK_SET) < 0 || ::lseek(out, from, SEEK_SET) < 0))
        return errno;
    int error = 0;
    const bool holes = static_cast<int64_t>(sourceStat.st_blocks) * 512 < sourceStat.st_size;
    if (sourceStat.st_size > 0 && from == 0 && TryClone(in, out, sourceStat.st_dev, targetDevice)) {
        progress.Behind = nullptr; // shared blocks: nothing new to write
        error = progress.Chunk(sourceStat.st_size, false);
        // A clone moves no byte through here: the source is read for its hash, and the
        // copy is read back like any other (it proves the new file's blocks are mapped to
        // that content).
        if (error == 0 && hash)
            error = HashFileContent(in, *hash, options.Cancel);
    } else if (sourceStat.st_size > 0 && holes &&
               (error = CopySparse(in, out, sourceStat.st_size, progress)) != EOPNOTSUPP) {
        // copied, or failed, with the holes kept
    } else if (sourceStat.st_size > 0 && !hash) {
        error = CopyByRange(in, out, progress);
    } else {
        // Empty by fstat (one read tells whether it really is), or to be hashed.
        error = CopyByBuffer(in, out, progress);
    }
    if (error == 0)
        progress.Finish();
    else if (error == ECANCELED && progress.Behind && progress.Done > progress.Base)
        // What is on its way to the device cannot be called back, and the close that frees
        // the abandoned file would wait for it: an Abort, or a program closing, need not.
        partial ? partial->Abandon() : (void)CloseApart(out);
    return error;
}

// --- Extended attributes ---------------------------------------------------------------

// Grows buffer until the call (which returns -1/ERANGE when it is too small) fits.
namespace {

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

} // namespace

int CopyXattrs(int in, int out, int& refused) {
    thread_local std::vector<char> names(1024), value(4096);
    refused = 0;
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
        if (::fsetxattr(out, name, value.data(), static_cast<size_t>(size), 0) == 0)
            continue;
        const int error = errno;
        if (error == EIO)
            return EIO;
        // A file system or name space without the attribute kind, or one closed to us,
        // is what cp -a and mv pass over too; a target that has them but will not take
        // this one (too many, too large, out of space) leaves a copy that is not whole.
        const bool unsupported =
            error == ENOTSUP || error == EOPNOTSUPP || error == EPERM || error == EACCES;
        if (!unsupported && refused == 0)
            refused = error;
    }
    return 0;
}

bool Cancelled(const TCopyOptions& options) {
    return options.Cancel && options.Cancel->load(std::memory_order_relaxed);
}

void Report(const TCopyOptions& options, const TCopyProgress& progress) {
    if (options.Progress)
        options.Progress(progress);
}

} // namespace ferrox
