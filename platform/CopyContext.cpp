#include "platform/CopyContext.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ferrox {

namespace {

// The umask, read without setting it: umask() can only be read by changing it, which
// would for a moment apply to files other threads create.
int ReadUmask() {
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[2048];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    const char* at = std::strstr(buf, "\nUmask:");
    if (!at)
        return -1;
    char* end = nullptr;
    long mask = std::strtol(at + 7, &end, 8);
    return end == at + 7 || mask < 0 || mask > 0777 ? -1 : static_cast<int>(mask);
}

// New files in a directory with a default ACL take their mode from it, not from the umask.
bool HasDefaultAcl(int dirFd) {
    if (::fgetxattr(dirFd, "system.posix_acl_default", nullptr, 0) >= 0)
        return true;
    // Unknown (an O_PATH descriptor, say) counts as present: the mode is then set outright.
    return !(errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP);
}

// True while path leads to the directory known by device and inode. Only the identity is
// compared, which the walk along the path settles: the directory's attributes are taken as
// the kernel holds them (AT_STATX_DONT_SYNC), so a share or a FUSE file system, which drop
// them at every change in the directory, is not asked for them again for each file.
bool LeadsTo(const std::string& path, dev_t device, ino_t inode) {
    struct statx seen;
    return ::statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_INO, &seen) == 0 &&
           makedev(seen.stx_dev_major, seen.stx_dev_minor) == device && seen.stx_ino == inode;
}

} // namespace

// --- The context ---------------------------------------------------------------------

TCopyContext::TCopyContext(TSweptDirs* swept) : swept_(swept ? swept : &ownSwept_) {}

TCopyContext::TCopyContext(TOneCopy) : umaskRead_(true), swept_(&ownSwept_) {}

int TCopyContext::Umask() {
    if (!umaskRead_) {
        umask_ = ReadUmask();
        umaskRead_ = true;
    }
    return umask_;
}

TCopyContext::~TCopyContext() = default;

TCopyContext::TDir* TCopyContext::SourceDir(std::string_view path, int& error) {
    return Open(sources_, path, false, error);
}

TCopyContext::TDir* TCopyContext::UncheckedSourceDir(std::string_view path, int& error) {
    return Open(sources_, path, false, error, false);
}

TCopyContext::TDir* TCopyContext::TargetDir(std::string_view path, int& error) {
    return Open(targets_, path, true, error);
}

TCopyContext::TDir* TCopyContext::Open(std::array<TKept, DirsKept>& kept, std::string_view path,
                                       bool target, int& error, bool check) {
    struct stat st;
    TKept* slot = &kept.front();
    for (TKept& k : kept) {
        if (k.Dir.Fd >= 0 && k.Dir.Path == path) {
            slot = &k;
            break;
        }
        if (k.Used < slot->Used)
            slot = &k;
    }
    slot->Used = ++uses_;
    TDir& dir = slot->Dir;
    if (dir.Fd >= 0 && dir.Path == path) {
        // Still where the path leads? A look is far cheaper than opening it again.
        if (!check || LeadsTo(dir.Path, dir.Device, dir.Inode))
            return &dir;
    }
    dir = TDir{};
    dir.Path.assign(path);
    // Reading a source directory is never needed, only looking up its names; a target
    // directory is read for its default ACL when we may.
    int fd = -1;
    if (target)
        fd = ::open(dir.Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && (!target || errno == EACCES)) {
        fd = ::open(dir.Path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        dir.PathOnly = true;
    }
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = errno;
        if (fd >= 0)
            ::close(fd);
        dir.Path.clear();
        return nullptr;
    }
    dir.Handle = std::make_shared<const TFd>(fd);
    dir.Fd = fd;
    dir.Device = st.st_dev;
    dir.Inode = st.st_ino;
    if (target) {
        dir.DefaultAcl = HasDefaultAcl(fd);
        const TFileSystemTraits traits = FileSystemTraitsOf(fd);
        dir.Fuse = traits.Fuse;
        dir.StableInodes = traits.StableInodes;
    }
    ++opens_;
    return &dir;
}

} // namespace ferrox
