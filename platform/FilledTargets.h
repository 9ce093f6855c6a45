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
    // Held while a copy decides about and takes `name` in the directory (device, inode). A
    // name differing only in case shares the lock, since FAT and exFAT hold one file for
    // both; two unrelated names sharing one is harmless, they only wait for each other.
    std::unique_lock<std::mutex> Hold(dev_t dirDevice, ino_t dirInode, std::string_view name);
    // The run put `target` (the file now under a name) there, copied from `source`.
    void Filled(const struct ::stat& target, const TFileIdentity& source);
    // True when `target`, what a name holds now, is a file this run copied there from
    // another source than `source`.
    bool FilledFromOther(const struct ::stat& target, const TFileIdentity& source) const;

private:
    struct TKey {
        uint64_t Device = 0;
        uint64_t Inode = 0;
        bool operator==(const TKey&) const = default;
    };
    struct THash {
        size_t operator()(const TKey& key) const noexcept {
            return std::hash<uint64_t>()(key.Inode * 0x9E3779B97F4A7C15ull ^ key.Device);
        }
    };
    std::array<std::mutex, 64> names_;
    mutable std::mutex mutex_;
    std::unordered_map<TKey, TKey, THash> filled_; // target -> its source
};

} // namespace ferrox
