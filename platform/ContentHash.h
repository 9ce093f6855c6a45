#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace ferrox {

// A 128-bit hash of a file's content (XXH3-128), fed in order: what a verified copy
// compares between the bytes it wrote and the bytes it reads back.
class TContentHash {
public:
    TContentHash();
    ~TContentHash();
    TContentHash(const TContentHash&) = delete;
    TContentHash& operator=(const TContentHash&) = delete;

    void Update(const void* data, size_t size);
    // `size` zero bytes: a hole of a sparse file reads as that.
    void UpdateZeros(uint64_t size);
    std::array<uint64_t, 2> Digest() const;

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

// Reads the whole file from its start (or its first `length` bytes, fewer where it ends
// before) and hashes it; 0, or errno (ECANCELED when cancel became non-zero between
// chunks). fd may be opened with O_DIRECT.
int HashFileContent(int fd, TContentHash& hash, const std::atomic<bool>* cancel,
                    int64_t length = -1);

// Compares `length` bytes of two files from offset `from`, byte for byte; 0 with *same set,
// or errno (ECANCELED as above). A file that ends inside the range is not the same.
int SameBytes(int a, int b, int64_t from, int64_t length, bool* same,
              const std::atomic<bool>* cancel);

} // namespace ferrox
