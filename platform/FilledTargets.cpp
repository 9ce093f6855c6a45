#include "platform/FilledTargets.h"

#include <algorithm>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <xxhash.h>

namespace ferrox {

namespace {

constexpr uint64_t FnvBasis = 14695981039346656037ull;

uint64_t Fnv(uint64_t hash, std::string_view text, bool lowerCase = false) {
    for (char c : text) {
        if (lowerCase && c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return hash;
}

} // namespace

std::unique_lock<std::mutex> TFilledTargets::Hold(dev_t device, std::string_view name) {
    const uint64_t hash = Fnv(FnvBasis, name, true) ^ uint64_t(device) * 0x9E3779B97F4A7C15ull;
    return std::unique_lock(names_[hash % names_.size()]);
}

namespace {

uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

// Never 0, which marks a free slot.
uint64_t NonZero(uint64_t key) {
    return key ? key : 1;
}

uint64_t FileKey(dev_t device, ino_t inode) {
    return NonZero(Mix(Mix(uint64_t(device) ^ 0x66696c65ull) ^ uint64_t(inode)));
}

uint64_t PathKey(std::string_view dir, std::string_view name) {
    const uint64_t seed = XXH3_64bits(dir.data(), dir.size());
    return NonZero(Mix(XXH3_64bits_withSeed(name.data(), name.size(), seed) ^ 0x70617468ull));
}

uint64_t SourceKey(const TFileIdentity& source) {
    return NonZero(Mix(Mix(source.Device) ^ source.Inode));
}

} // namespace

void* TFilledTargets::MapPages(size_t bytes) {
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED)
        throw std::bad_alloc();
    return at;
}

void TFilledTargets::UnmapPages(void* at, size_t bytes) {
    ::munmap(at, bytes);
}

size_t TFilledTargets::SlotOf(const std::vector<TEntry, TPages<TEntry>>& slots, uint64_t key) {
    // The key's bits below those that chose the shard, scaled to the table's length.
    const size_t n = slots.size();
    size_t i = size_t((unsigned __int128)(key << ShardBits) * n >> 64);
    while (slots[i].Key && slots[i].Key != key)
        i = i + 1 == n ? 0 : i + 1;
    return i;
}

void TFilledTargets::Put(uint64_t key, uint64_t source) {
    TShard& shard = ShardOf(key);
    std::lock_guard lock(shard.Mutex);
    if ((shard.Used + 1) * 4 > shard.Slots.size() * 3) {
        // Half again as long: a shard is then between half and three quarters full.
        std::vector<TEntry, TPages<TEntry>> old(std::max<size_t>(64, shard.Slots.size() * 3 / 2));
        old.swap(shard.Slots);
        for (const TEntry& e : old)
            if (e.Key)
                shard.Slots[SlotOf(shard.Slots, e.Key)] = e;
    }
    TEntry& entry = shard.Slots[SlotOf(shard.Slots, key)];
    if (!entry.Key)
        ++shard.Used;
    entry = {key, source};
}

uint64_t TFilledTargets::Find(uint64_t key) const {
    TShard& shard = ShardOf(key);
    std::lock_guard lock(shard.Mutex);
    return shard.Slots.empty() ? 0 : shard.Slots[SlotOf(shard.Slots, key)].Source;
}

void TFilledTargets::Filled(std::string_view dir, std::string_view name, const struct stat& target,
                            const TFileIdentity& source, bool byPath) {
    const uint64_t from = SourceKey(source);
    Put(FileKey(target.st_dev, target.st_ino), from);
    if (byPath)
        Put(PathKey(dir, name), from);
}

bool TFilledTargets::FilledFromOther(std::string_view dir, std::string_view name,
                                     const struct stat* target, const TFileIdentity& source) const {
    const uint64_t from = SourceKey(source);
    auto other = [from](uint64_t recorded) { return recorded != 0 && recorded != from; };
    return other(Find(PathKey(dir, name))) ||
           (target && other(Find(FileKey(target->st_dev, target->st_ino))));
}

} // namespace ferrox
