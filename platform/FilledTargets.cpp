#include "platform/FilledTargets.h"

#include <sys/stat.h>

namespace ferrox {

std::unique_lock<std::mutex> TFilledTargets::Hold(dev_t dirDevice, ino_t dirInode,
                                                  std::string_view name) {
    uint64_t hash = 14695981039346656037ull; // FNV-1a over the name in lower case
    for (char c : name) {
        const char lower = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 1099511628211ull;
    }
    hash ^= static_cast<uint64_t>(dirInode) * 0x9E3779B97F4A7C15ull ^ dirDevice;
    return std::unique_lock(names_[hash % names_.size()]);
}

void TFilledTargets::Filled(const struct stat& target, const TFileIdentity& source) {
    std::lock_guard lock(mutex_);
    filled_[{target.st_dev, target.st_ino}] = {source.Device, source.Inode};
}

bool TFilledTargets::FilledFromOther(const struct stat& target, const TFileIdentity& source) const {
    std::lock_guard lock(mutex_);
    auto it = filled_.find({target.st_dev, target.st_ino});
    return it != filled_.end() && !(it->second == TKey{source.Device, source.Inode});
}

} // namespace ferrox
