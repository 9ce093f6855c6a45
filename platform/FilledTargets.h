#pragma once
#include <array>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/FileSystem.h"

struct stat;

namespace ferrox {

// The files one run has put under target names, and a lock per name while one is taken.
// Two lines of a run that lead to the same target must not undo each other: the second
// would replace the file the first just made, and with Move that file's source is already
// gone. So a name that holds a file this run copied from another source is never replaced
// by the run (as cp will not overwrite a just-created file), and copies that take the same
// name take it one after the other. Shared by the copy threads of one run.
class TFilledTargets {
public:
    // Held while a copy decides about and takes `name` on the device. A name differing
    // only in case shares the lock, since FAT and exFAT hold one file for both; two
    // unrelated names sharing one is harmless, they only wait for each other.
    std::unique_lock<std::mutex> Hold(dev_t device, std::string_view name);
    // The run put `target` (the file now under dir/name) there, copied from `source`.
    // byPath: the name is recorded as well as the file, for a file system that may give
    // the file another inode number later; where it keeps it, the file alone will do, at
    // half the memory.
    void Filled(std::string_view dir, std::string_view name, const struct ::stat& target,
                const TFileIdentity& source, bool byPath = true);
    // True when dir/name, or `target` (what the name holds now, when known), is what this
    // run copied there from another source than `source`. Both are asked: the name
    // because a FUSE file system may give one file two inode numbers in a row, the file
    // because another spelling of the path (or of the name's case) may lead to it.
    bool FilledFromOther(std::string_view dir, std::string_view name, const struct ::stat* target,
                         const TFileIdentity& source) const;

private:
    // What the run filled, as 64-bit hashes: the target file's key, and the target path's
    // where it is recorded (salted apart), to its source's. A run of a million files keeps a
    // million or two, so they sit in flat tables, 16 bytes an entry, split into shards that
    // grow on their own (a growing shard needs its old and new tables for a moment, not
    // the whole record's). A clash
    // of two keys can only make the run refuse to replace a file; a clash of two sources
    // besides one of two keys is out of reach.
    struct TEntry {
        uint64_t Key = 0; // 0: free
        uint64_t Source = 0;
    };
    // The tables take their pages from the kernel and give them back when freed: the heap
    // would keep a finished run's record, and the queue's save after the run would come
    // on top of it.
    static void* MapPages(size_t bytes);
    static void UnmapPages(void* at, size_t bytes);
    template <typename T> struct TPages {
        using value_type = T;
        TPages() = default;
        template <typename U> TPages(const TPages<U>&) {}
        T* allocate(size_t n) { return static_cast<T*>(MapPages(n * sizeof(T))); }
        void deallocate(T* p, size_t n) { UnmapPages(p, n * sizeof(T)); }
        bool operator==(const TPages&) const { return true; }
    };
    struct TShard {
        std::mutex Mutex;
        std::vector<TEntry, TPages<TEntry>> Slots; // at most three quarters used
        size_t Used = 0;
    };
    // The key's top bits choose its shard; SlotOf places it by the bits below them.
    static constexpr int ShardBits = 6;
    static constexpr size_t ShardCount = size_t(1) << ShardBits;
    TShard& ShardOf(uint64_t key) const { return shards_[key >> (64 - ShardBits)]; }
    // Where the key is, or the free slot where it would go.
    static size_t SlotOf(const std::vector<TEntry, TPages<TEntry>>& slots, uint64_t key);
    void Put(uint64_t key, uint64_t source);
    // The source recorded for the key, 0 for none.
    uint64_t Find(uint64_t key) const;
    std::array<std::mutex, 64> names_;
    mutable std::array<TShard, ShardCount> shards_;
};

} // namespace ferrox
