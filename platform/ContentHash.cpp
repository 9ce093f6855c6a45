#include "platform/ContentHash.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <xxhash.h>

namespace ferrox {

namespace {
constexpr size_t ReadChunk = 1 << 20;
constexpr size_t DirectAlignment = 4096;
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

int HashFileContent(int fd, TContentHash& hash, const std::atomic<bool>* cancel) {
    // Aligned for a descriptor opened with O_DIRECT: its reads go to the device.
    struct TFree {
        void operator()(char* p) const { std::free(p); }
    };
    thread_local std::unique_ptr<char, TFree> buffer;
    if (!buffer)
        buffer.reset(static_cast<char*>(std::aligned_alloc(DirectAlignment, ReadChunk)));
    if (!buffer)
        return ENOMEM;
    for (off_t at = 0;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return ECANCELED;
        const ssize_t n = ::pread(fd, buffer.get(), ReadChunk, at);
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
}

} // namespace ferrox
