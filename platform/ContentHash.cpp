#include "platform/ContentHash.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <xxhash.h>

namespace ferrox {

namespace {
constexpr size_t ReadChunk = 1 << 20;
constexpr size_t DirectAlignment = 4096;

// Reads up to `size` bytes at `at`, fewer only at the file's end; the count, or -1.
ssize_t ReadFull(int fd, char* into, size_t size, int64_t at) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, into + got, size - got, off_t(at + int64_t(got)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += size_t(n);
    }
    return ssize_t(got);
}
} // namespace

struct TContentHash::TState {
    XXH3_state_t* State = XXH3_createState();
    ~TState() { XXH3_freeState(State); }
};

TContentHash::TContentHash() : state_(std::make_unique<TState>()) {
    XXH3_128bits_reset(state_->State);
}

TContentHash::~TContentHash() = default;

void TContentHash::Update(const void* data, size_t size) {
    XXH3_128bits_update(state_->State, data, size);
}

void TContentHash::UpdateZeros(uint64_t size) {
    static const char zeros[64 * 1024] = {};
    while (size > 0) {
        const size_t n = size_t(std::min<uint64_t>(size, sizeof zeros));
        Update(zeros, n);
        size -= n;
    }
}

std::array<uint64_t, 2> TContentHash::Digest() const {
    const XXH128_hash_t h = XXH3_128bits_digest(state_->State);
    return {h.low64, h.high64};
}

int HashFileContent(int fd, TContentHash& hash, const std::atomic<bool>* cancel, int64_t length) {
    // Aligned for a descriptor opened with O_DIRECT: its reads go to the device.
    struct TFree {
        void operator()(char* p) const { std::free(p); }
    };
    thread_local std::unique_ptr<char, TFree> buffer;
    if (!buffer)
        buffer.reset(static_cast<char*>(std::aligned_alloc(DirectAlignment, ReadChunk)));
    if (!buffer)
        return ENOMEM;
    for (off_t at = 0; length < 0 || at < length;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return ECANCELED;
        // A limited read stays whole chunks long (O_DIRECT wants them aligned) and hashes
        // only what is inside the limit.
        ssize_t n = ::pread(fd, buffer.get(), ReadChunk, at);
        if (n > 0 && length >= 0 && at + n > length)
            n = ssize_t(length - at);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        hash.Update(buffer.get(), size_t(n));
        at += n;
    }
    return 0;
}

int SameBytes(int a, int b, int64_t from, int64_t length, bool* same,
              const std::atomic<bool>* cancel) {
    constexpr size_t Chunk = 256 * 1024;
    thread_local std::unique_ptr<char[]> buffers;
    if (!buffers)
        buffers = std::make_unique<char[]>(2 * Chunk);
    char* left = buffers.get();
    char* right = left + Chunk;
    *same = false;
    for (int64_t done = 0; done < length;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return ECANCELED;
        const size_t want = size_t(std::min<int64_t>(length - done, int64_t(Chunk)));
        const ssize_t n = ReadFull(a, left, want, from + done);
        const ssize_t m = n < 0 ? 0 : ReadFull(b, right, want, from + done);
        if (n < 0 || m < 0)
            return errno;
        if (size_t(n) != want || size_t(m) != want || std::memcmp(left, right, want) != 0)
            return 0;
        done += int64_t(want);
    }
    *same = true;
    return 0;
}

} // namespace ferrox
