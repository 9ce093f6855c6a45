#include "platform/FilledTargets.h"

#include <sys/stat.h>

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

// Two independent 64-bit hashes of the path: a clash of both is out of reach.
TFilledTargets::TKey TFilledTargets::PathKey(std::string_view dir, std::string_view name) {
    const uint64_t a = Fnv(Fnv(Fnv(FnvBasis, dir), "/"), name);
    const uint64_t b = Fnv(Fnv(Fnv(0x84222325cbf29ce4ull, name), "\\"), dir);
    return {a, b};
}

void TFilledTargets::Filled(std::string_view dir, std::string_view name, const struct stat& target,
                            const TFileIdentity& source) {
    const TKey from{source.Device, source.Inode};
    std::lock_guard lock(mutex_);
    byFile_[{target.st_dev, target.st_ino}] = from;
    byPath_[PathKey(dir, name)] = from;
}

bool TFilledTargets::FilledFromOther(std::string_view dir, std::string_view name,
                                     const struct stat* target, const TFileIdentity& source) const {
    const TKey from{source.Device, source.Inode};
    std::lock_guard lock(mutex_);
    auto other = [&](const auto& map, const TKey& key) {
        auto it = map.find(key);
        return it != map.end() && !(it->second == from);
    };
    return other(byPath_, PathKey(dir, name)) ||
           (target && other(byFile_, TKey{target->st_dev, target->st_ino}));
}

} // namespace ferrox
