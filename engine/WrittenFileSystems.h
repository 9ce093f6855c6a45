#pragma once
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <vector>

#include "platform/Fd.h"

namespace ferrox {

// The file systems a run wrote to, each held by one open directory on it, so that the run
// can put what it wrote on the devices before it says it is done. Any thread notes; the
// run takes them at its end.
class TWrittenFileSystems {
public:
    // dir: a directory on `device` opened for reading (syncfs refuses a path descriptor).
    void Note(dev_t device, const std::shared_ptr<const TFd>& dir);
    // True when the device has been noted (the caller then need not open anything).
    bool Knows(dev_t device);
    // The directories noted since the last Take, one per file system.
    std::vector<std::shared_ptr<const TFd>> Take();

private:
    std::mutex mutex_;
    dev_t last_ = 0; // the most recent device: most notes are of it, and need no search
    std::vector<std::pair<dev_t, std::shared_ptr<const TFd>>> dirs_;
};

} // namespace ferrox
