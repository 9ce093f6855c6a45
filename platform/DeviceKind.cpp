#include "platform/DeviceKind.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace ferrox {

namespace {

// The first byte of a small sysfs file, or 0.
char FirstByte(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char c = 0;
    if (::read(fd, &c, 1) != 1)
        c = 0;
    ::close(fd);
    return c;
}

bool IsNetworkOrFuse(unsigned long type) {
    switch (type) {
    case 0x6969:     // NFS
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2
    case 0x517B:     // SMB
    case 0x65735546: // FUSE (sshfs, and many more)
    case 0x01021997: // 9P
    case 0x73757245: // Coda
    case 0x564C:     // NCP
    case 0x7461636F: // OCFS2
    case 0x47504653: // GPFS
    case 0x00C36400: // Ceph
        return true;
    default:
        return false;
    }
}

} // namespace

TDeviceKind DeviceKindOf(const std::string& dir, dev_t& device) {
    return DeviceKindUnder("/sys", dir, device);
}

TDeviceKind DeviceKindUnder(const std::string& sysfs, const std::string& dir, dev_t& device) {
    struct stat st;
    struct statfs fs;
    if (::stat(dir.c_str(), &st) != 0 || ::statfs(dir.c_str(), &fs) != 0)
        return TDeviceKind::Unknown;
    device = st.st_dev;
    if (IsNetworkOrFuse(static_cast<unsigned long>(fs.f_type)))
        return TDeviceKind::Network;
    // A block device says whether it rotates; a partition says it through its disk.
    const std::string block = sysfs + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                              std::to_string(minor(st.st_dev));
    char rotational = FirstByte(block + "/queue/rotational");
    if (!rotational)
        rotational = FirstByte(block + "/../queue/rotational");
    return rotational == '1' ? TDeviceKind::Rotating : TDeviceKind::Solid;
}

} // namespace ferrox
