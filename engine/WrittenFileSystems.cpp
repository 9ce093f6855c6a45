#include "engine/WrittenFileSystems.h"

namespace ferrox {

void TWrittenFileSystems::Note(dev_t device, const std::shared_ptr<const TFd>& dir) {
    if (!dir)
        return;
    std::lock_guard lock(mutex_);
    if (device == last_ && !dirs_.empty())
        return;
    last_ = device;
    for (const auto& [known, held] : dirs_)
        if (known == device)
            return;
    dirs_.emplace_back(device, dir);
}

bool TWrittenFileSystems::Knows(dev_t device) {
    std::lock_guard lock(mutex_);
    for (const auto& [known, held] : dirs_)
        if (known == device)
            return true;
    return false;
}

std::vector<std::shared_ptr<const TFd>> TWrittenFileSystems::Take() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<const TFd>> dirs;
    for (auto& [device, dir] : dirs_)
        dirs.push_back(std::move(dir));
    dirs_.clear();
    last_ = 0;
    return dirs;
}

} // namespace ferrox
