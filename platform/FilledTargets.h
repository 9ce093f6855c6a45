#pragma once
#include <array>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>

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
    void Filled(std::string_view dir, std::string_view name, const struct ::stat& target,
                const TFileIdentity& source);
    // True when dir/name, or `target` (what the name holds now, when known), is what this
    // run copied there from another source than `source`. Both are asked: the name
    // because a FUSE file system may give one file two inode numbers in a row, the file
    // because another spelling of the path (or of the name's case) may lead to it.
    bool FilledFromOther(std::string_view dir, std::string_view name, const struct ::stat* target,
                         const TFileIdentity& source) const;

private:
    struct TKey {
        uint64_t A = 0;
        uint64_t B = 0;
        bool operator==(const TKey&) const = default;
    };
    struct THash {
        size_t operator()(const TKey& key) const noexcept {
            return std::hash<uint64_t>()(key.A * 0x9E3779B97F4A7C15ull ^ key.B);
        }
    };
    static TKey PathKey(std::string_view dir, std::string_view name);
    std::array<std::mutex, 64> names_;
    mutable std::mutex mutex_;
    std::unordered_map<TKey, TKey, THash> byFile_; // target (device, inode) -> its source
    std::unordered_map<TKey, TKey, THash> byPath_; // target path's hashes -> its source
};

} // namespace ferrox
