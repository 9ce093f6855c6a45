#pragma once
#include "platform/CopyFile.h"
#include "support/Scratch.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace ferrox::test {

// The names in a directory, read independently of the code under test.
inline std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// Content that differs at every offset, so a misplaced or repeated chunk shows.
inline std::string PatternBytes(size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : data) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

// A child process copying source to target, held after its first chunk (the first that
// reaches `bytes`) until it is killed: returned once that chunk is written (-1 when no child
// could be made).
inline pid_t ForkCopyHeldAfterFirstChunk(const std::string& source, const std::string& target,
                                         int64_t bytes = 1) {
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        TCopyOptions options;
        options.Progress = [fd = ready[1], bytes](const TCopyProgress& p) {
            if (!p.Starts && p.Done >= bytes) {
                ssize_t w = ::write(fd, "x", 1);
                (void)w;
                for (;;)
                    ::pause();
            }
        };
        CopyFileWithProgress(source, target, options);
        ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool held = pid > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (pid > 0 && !held) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return held ? pid : -1;
}

// A tmpfs mounted on a fresh directory, for a second file system or a small full disk.
// Needs root; Mounted() is false otherwise and the test should skip.
class TMountedTmpfs {
public:
    TMountedTmpfs(const std::string& dir, const std::string& options) : dir_(dir) {
        if (::geteuid() != 0 || ::mkdir(dir.c_str(), 0755) != 0)
            return;
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~TMountedTmpfs() {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TMountedTmpfs(const TMountedTmpfs&) = delete;
    TMountedTmpfs& operator=(const TMountedTmpfs&) = delete;

    bool Mounted() const { return mounted_; }
    // Unmounts as a user ejecting a stick would: false while anything (a descriptor a run
    // kept) holds the file system.
    bool Unmount() {
        if (mounted_ && ::umount2(dir_.c_str(), 0) == 0)
            mounted_ = false;
        return !mounted_;
    }

private:
    std::string dir_;
    bool mounted_ = false;
};

// A USB stick's file system: exFAT through exfat-fuse, on a loop device over a 64 MiB
// image in dir, mounted at dir/stick. Needs root, FUSE, loop devices, mkfs.exfat
// (exfatprogs) and mount.exfat-fuse (exfat-fuse); Missing() says what is missing, and
// the test should skip. Unmounted and detached at the end, whatever happened.
class TMountedExfat {
public:
    explicit TMountedExfat(const std::string& dir)
        : image_(dir + "/exfat.img"), mount_(dir + "/stick") {
        if (::geteuid() != 0)
            missing_ = "root";
        else if (::access("/dev/fuse", R_OK | W_OK) != 0)
            missing_ = "FUSE (/dev/fuse)";
        else if (std::system("command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse "
                             ">/dev/null") != 0)
            missing_ = "mkfs.exfat or mount.exfat-fuse (exfatprogs, exfat-fuse)";
        else if (!MakeImage())
            missing_ = "an exFAT image (mkfs.exfat failed)";
        else if (!Attach())
            missing_ = "a free loop device (/dev/loop-control)";
        else if (::mkdir(mount_.c_str(), 0755) != 0 ||
                 std::system(("mount.exfat-fuse '" + device_ + "' '" + mount_ + "'").c_str()) != 0)
            missing_ = "a working exfat-fuse mount";
        else
            mounted_ = true;
    }
    ~TMountedExfat() {
        if (mounted_ && ::umount2(mount_.c_str(), 0) != 0)
            ::umount2(mount_.c_str(), MNT_DETACH);
        // Attached with autoclear: the device lets go of the image once its last user (we,
        // or the FUSE daemon on its way out) closes it.
        if (loop_ >= 0)
            ::close(loop_);
        ::unlink(image_.c_str());
    }
    TMountedExfat(const TMountedExfat&) = delete;
    TMountedExfat& operator=(const TMountedExfat&) = delete;

    const std::string& Missing() const { return missing_; }
    const std::string& Path() const { return mount_; }

private:
    bool MakeImage() {
        int fd = ::open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && ::ftruncate(fd, 64 << 20) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok && std::system(("mkfs.exfat '" + image_ + "' >/dev/null 2>&1").c_str()) == 0;
    }
    bool Attach() {
        loop_ = scratch::AttachLoop(image_, device_);
        return loop_ >= 0;
    }

    std::string image_, mount_, device_, missing_;
    int loop_ = -1;
    bool mounted_ = false;
};

} // namespace ferrox::test
