#pragma once
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileSystem.h"

namespace ferrox {

// A directory a run made, and the times of the source directory it stands for.
struct TMadeDirectory {
    std::string Target;
    TFileTimes Source;
};

// The directories a run made: at its end, once their entries are written, they get their
// sources' times (as cp -p and rsync -a give them).
class TMadeDirectories {
public:
    void Add(TMadeDirectory made) {
        std::lock_guard lock(mutex_);
        made_.push_back(std::move(made));
    }
    std::vector<TMadeDirectory> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(made_, {});
    }

private:
    std::mutex mutex_;
    std::vector<TMadeDirectory> made_;
};

} // namespace ferrox
