#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

#include "platform/Fd.h"

namespace ferrox {

// The target directories whose stale temporaries were looked for: once per directory and
// run, by whichever of the run's copy threads comes there first.
class TSweptDirs {
public:
    // True for the first to ask about the directory.
    bool First(dev_t device, ino_t inode) {
        std::lock_guard lock(mutex_);
        return swept_.emplace(device, inode).second;
    }

private:
    std::mutex mutex_;
    std::set<std::pair<dev_t, ino_t>> swept_;
};

// Descriptors of the directories the last copies read from and wrote into, kept for the
// next copies: a queue copies many files of one directory in a row (or of a few folders
// taking turns, where files go side by side), and working relative to an open directory
// spares the kernel a walk of the whole path for every step of every file, and a share a
// round trip to open the directory and one to ask what it is. One context serves one thread at a
// time. A cached directory is used only while its path still leads to it (one look along the
// path, compared by device and inode, each time it is asked for): a directory renamed, replaced or
// re-pointed by a link since is opened afresh, so a file is read from and written to where its path
// leads when the copy starts.
class TCopyContext {
public:
    // swept: the record of swept directories this context shares with others of its run;
    // none: one of its own.
    explicit TCopyContext(TSweptDirs* swept = nullptr);
    ~TCopyContext();
    TCopyContext(const TCopyContext&) = delete;
    TCopyContext& operator=(const TCopyContext&) = delete;

    struct TDir {
        std::string Path;
        int Fd = -1;
        // Owns Fd; shared with a copy's result, which may need the directory after the
        // context has moved on (a moved source is removed through it).
        std::shared_ptr<const TFd> Handle;
        dev_t Device = 0;
        ino_t Inode = 0;
        // Target side: new files take this directory's default ACL rather than the umask.
        bool DefaultAcl = true;
        // Target side: the file system refused an unnamed file here once.
        bool NoUnnamed = false;
        // Target side: the file system refused a rename that must not replace (FUSE), or
        // has no hard links either; a free name is then reserved by an exclusive create.
        bool NoReplaceRefused = false;
        bool NoHardLinks = false;
        // Target side: a mode set here did not stay (FAT, exFAT): none is set again.
        bool ModesIgnored = false;
        bool ModeChecked = false;
        // Opened only as a path (O_PATH): names can be looked up, nothing read or synced.
        bool PathOnly = false;
        // Target side: a FUSE file system, where setting a link's own times may reach the
        // file it points to (SSHFS sets them by path, and the server follows the link).
        bool Fuse = false;
        // Target side: a file keeps its inode number here while it exists.
        bool StableInodes = false;
    };

    // The open directory at path: the cached one while path still leads to it, else opened
    // now. nullptr with error set when it cannot be opened.
    TDir* SourceDir(std::string_view path, int& error);
    TDir* TargetDir(std::string_view path, int& error);
    // The cached source directory at path as it is (else opened now), without the stat
    // that proves it still is where the path leads: for a caller that proves it by the file
    // it opens there instead, and calls Forget when that file is not the one the path
    // leads to.
    TDir* UncheckedSourceDir(std::string_view path, int& error);
    void Forget(TDir& dir) { dir = TDir{}; }

    // True the first time a target directory (by identity) asks in this context's run: where
    // named temporaries are in use, stale ones of ours are looked for once per directory
    // and run.
    bool FirstSweep(const TDir& dir) { return swept_->First(dir.Device, dir.Inode); }

    // The process umask when it could be read, else -1; read on first use, so on the
    // thread that copies, not the one that made the context.
    int Umask();

    // Counts the directory opens (a test seam: consecutive files of one directory open it
    // once).
    int DirectoryOpens() const { return opens_; }

    // For one copy alone: no umask read, so the mode is always set explicitly.
    struct TOneCopy {};
    explicit TCopyContext(TOneCopy);

    // Directories kept on each side: as many as the folders whose files a run has in
    // flight at once.
    static constexpr size_t DirsKept = 8;

private:
    struct TKept {
        TDir Dir;
        uint64_t Used = 0; // when it was last asked for; the least recent makes way
    };
    TDir* Open(std::array<TKept, DirsKept>& kept, std::string_view path, bool target, int& error,
               bool check = true);

    std::array<TKept, DirsKept> sources_;
    std::array<TKept, DirsKept> targets_;
    uint64_t uses_ = 0;
    int umask_ = -1;
    bool umaskRead_ = false;
    int opens_ = 0;
    TSweptDirs ownSwept_;
    TSweptDirs* swept_;
};

} // namespace ferrox
