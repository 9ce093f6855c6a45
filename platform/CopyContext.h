#pragma once
#include <chrono>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ferrox {

// Descriptors of the directories the last copy read from and wrote into, kept for the
// next copy: a queue copies many files of one directory in a row, and working relative to
// an open directory spares the kernel a walk of the whole path for every step of every
// file. One context serves one thread at a time; a directory is looked up afresh when its
// descriptor has not been used for a second (after a pause, say), so one renamed or
// replaced while the run waited is not written to under its old identity.
class TCopyContext {
public:
    TCopyContext();
    ~TCopyContext();
    TCopyContext(const TCopyContext&) = delete;
    TCopyContext& operator=(const TCopyContext&) = delete;

    struct TDir {
        std::string Path;
        int Fd = -1;
        std::chrono::steady_clock::time_point LastUse;
        dev_t Device = 0;
        ino_t Inode = 0;
        // Target side: new files take this directory's default ACL rather than the umask.
        bool DefaultAcl = true;
        // Target side: the file system refused an unnamed file here once.
        bool NoUnnamed = false;
    };

    // The open directory at path, opened now unless it is the one of the last copy.
    // nullptr with error set when it cannot be opened.
    TDir* SourceDir(std::string_view path, int& error);
    TDir* TargetDir(std::string_view path, int& error);

    // True the first time a target directory (by identity) asks in this context: where
    // named temporaries are in use, stale ones of ours are looked for once per directory
    // and run.
    bool FirstSweep(const TDir& dir) { return swept_.emplace(dir.Device, dir.Inode).second; }

    // The process umask when it could be read, else -1; read on first use, so on the
    // thread that copies, not the one that made the context.
    int Umask();

    // How long an unused directory descriptor is trusted to still name its path.
    std::chrono::nanoseconds MaxIdle = std::chrono::seconds(1);

    // Counts the directory opens (a test seam: consecutive files of one directory open it
    // once).
    int DirectoryOpens() const { return opens_; }

    // For one copy alone: no umask read, so the mode is always set explicitly.
    struct TOneCopy {};
    explicit TCopyContext(TOneCopy);

private:
    TDir* Open(TDir& dir, std::string_view path, bool target, int& error);

    TDir source_;
    TDir target_;
    int umask_ = -1;
    bool umaskRead_ = false;
    int opens_ = 0;
    std::set<std::pair<dev_t, ino_t>> swept_;
};

} // namespace ferrox
