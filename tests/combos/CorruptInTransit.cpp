// Preloaded into ferrox-run by random_runs (LD_PRELOAD): a copy of a file that begins with
// CorruptMarker gets one byte wrong on its way to the disk, as a failing cable or memory
// would do it. From outside, that is how a run shows whether its copies are verified: a
// verified copy of such a file must fail and never take a name; an unverified one lands.
// Nothing else is touched: every other write passes through as it is.
#include "CorruptInTransit.h"

#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using ferrox::test::CorruptMarker;
using ferrox::test::CorruptMarkerLength;

namespace {

template <class T> T Next(const char* name) {
    return reinterpret_cast<T>(::dlsym(RTLD_NEXT, name));
}

using TWrite = ssize_t (*)(int, const void*, size_t);
using TPWrite = ssize_t (*)(int, const void*, size_t, off_t);
using TRange = ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned);

bool RegularFile(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The start of a marked file's content, written at offset 0 of a file.
bool Marked(const void* buf, size_t n, off_t at, int fd) {
    return at == 0 && n > CorruptMarkerLength &&
           std::memcmp(buf, CorruptMarker, CorruptMarkerLength) == 0 && RegularFile(fd);
}

// The same bytes with the one after the marker changed.
std::string Corrupted(const void* buf, size_t n) {
    std::string bytes(static_cast<const char*>(buf), n);
    bytes[CorruptMarkerLength] = static_cast<char>(bytes[CorruptMarkerLength] ^ 0x5a);
    return bytes;
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
    static const TWrite next = Next<TWrite>("write");
    if (Marked(buf, n, ::lseek(fd, 0, SEEK_CUR), fd)) {
        const std::string bad = Corrupted(buf, n);
        return next(fd, bad.data(), n);
    }
    return next(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    static const TPWrite next = Next<TPWrite>("pwrite");
    if (Marked(buf, n, at, fd)) {
        const std::string bad = Corrupted(buf, n);
        return next(fd, bad.data(), n, at);
    }
    return next(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at) {
    return pwrite(fd, buf, n, at);
}

ssize_t copy_file_range(int in, loff_t* inAt, int out, loff_t* outAt, size_t n, unsigned flags) {
    static const TRange next = Next<TRange>("copy_file_range");
    static const TPWrite nextPWrite = Next<TPWrite>("pwrite");
    const off_t inStart = inAt ? *inAt : ::lseek(in, 0, SEEK_CUR);
    const off_t outStart = outAt ? *outAt : ::lseek(out, 0, SEEK_CUR);
    const ssize_t done = next(in, inAt, out, outAt, n, flags);
    char head[CorruptMarkerLength + 1];
    // The kernel moved the bytes itself: the marked one is changed where it landed.
    if (done > ssize_t(CorruptMarkerLength) && inStart == 0 && outStart == 0 &&
        ::pread(in, head, sizeof head, 0) == ssize_t(sizeof head) &&
        std::memcmp(head, CorruptMarker, CorruptMarkerLength) == 0) {
        const std::string bad = Corrupted(head, sizeof head);
        nextPWrite(out, bad.data() + CorruptMarkerLength, 1, CorruptMarkerLength);
    }
    return done;
}

} // extern "C"
