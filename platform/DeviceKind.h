#pragma once
#include <string>
#include <sys/types.h>

namespace ferrox {

// What lies under a directory, as far as copying files side by side is concerned.
enum class TDeviceKind {
    Rotating, // a spinning disk: one file at a time, or the head seeks between them
    Solid,    // an SSD, memory (tmpfs), anything without a head to move
    Network,  // a network or FUSE file system: each file waits for round trips
    Unknown,  // it could not be looked up (the copy will say why)
};

// The kind of what holds dir, and its device number.
TDeviceKind DeviceKindOf(const std::string& dir, dev_t& device);
// The same, with the block devices described under sysfs (a test's own tree) instead of /sys.
TDeviceKind DeviceKindUnder(const std::string& sysfs, const std::string& dir, dev_t& device);

} // namespace ferrox
