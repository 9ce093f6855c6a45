#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/Path.h"

struct stat;

namespace ferrox {

// What identifies a file's content at one moment; compared before a moved source goes.
struct TFileIdentity {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Size = 0;
    int64_t MTimeNs = 0; // modification time, nanoseconds since the epoch
    bool Valid = false;
    int Error = 0; // why it could not be read, when not Valid
};

enum class TEntryKind { File, Directory, Symlink, Special };

struct TDirEntry {
    std::string Name; // the entry's name as the file system holds it
    TEntryKind Kind;
    int64_t Size = -1; // a file's size, when asked for and known
};

// The identity recorded in a stat buffer.
TFileIdentity IdentityOf(const struct ::stat& st);
// True when both describe the same file (device and inode).
bool SameInode(const struct ::stat& a, const struct ::stat& b);

// 0 when something exists at exactly this path (lstat: a dangling link counts; '*', '?'
// and '[' are bytes of a name like any other), else the errno of the lookup.
int LookupPath(const std::string& path);

// 0 when Path names a directory (links followed), ENOTDIR when it names something else,
// else the errno of the lookup.
int CheckDirectory(const std::string& path);

// lstat of Path; when it cannot be read, Valid is false and Error says why.
TFileIdentity GetFileIdentity(const std::string& path);
// stat of Path (links followed).
TFileIdentity GetFileIdentityFollow(const std::string& path);

// mkdir with `mode` less the umask; 0 or errno.
int MakeDirectory(const std::string& path, uint32_t mode = 0777);

// What MakeDirectoryIn did: 0, or the error and whether it is about the parent or the
// new directory.
struct TMakeDirResult {
    int Error = 0;
    bool AtParent = false;
    dev_t Device = 0;  // the new directory's device, on success
    bool Made = false; // it was made now (not there already)
};

// The directory `name` inside `parent`, made (with `mode` less the umask) when missing.
// parent is made too when it is missing but its own parent exists, and may be, or lead
// through, a symbolic link: a user named it. parent/name must be a directory of its own:
// a link there is refused (errTargetIsLink) and never followed, anything else that is not
// a directory gives ENOTDIR.
TMakeDirResult MakeDirectoryIn(const std::string& parent, const std::string& name, uint32_t mode);

// The mode to make a copy of the directory sourceDir with: its permission bits (so a
// private directory stays private), plus the owner's rwx, which the copy needs to fill it.
// 0777 when sourceDir cannot be read.
uint32_t DirectoryCopyMode(const std::string& sourceDir);

// Calls onEntry for every entry of the directory in the order the file system returns
// them, dot files included, "." and ".." skipped. onEntry returns false to stop early.
// 0 or errno (of opendir or readdir).
// withSizes: each file's size is looked up too (one more stat per file).
int EnumerateDirectory(const std::string& dir, const std::function<bool(const TDirEntry&)>& onEntry,
                       bool withSizes = false);

// Writes all of data, going on after short writes and EINTR; 0 or errno. A write that
// stores nothing counts as ENOSPC, never as success.
int WriteAll(int fd, std::string_view data);
// The same at a file offset (pwrite), leaving the file position alone.
int PWriteAll(int fd, std::string_view data, int64_t offset);

// mkdir -p with the given mode for what it makes; existing directories are fine.
// 0 or errno (ENOTDIR when a part is something else).
int MakeDirectories(const std::string& path, uint32_t mode = 0700);

// When a file was last read and written.
struct TFileTimes {
    struct timespec Access;
    struct timespec Modify;
};
// The times of path (links followed); none when it cannot be read.
std::optional<TFileTimes> TimesOf(const std::string& path);
// Gives path (a link followed) these times; 0 or errno.
int SetTimes(const std::string& path, const TFileTimes& times);

// Puts what was written to the file system of fd on its device (syncfs); 0 or errno.
int SyncFileSystem(int fd);
// The same for the file systems of these descriptors, in a process of its own: syncfs
// cannot be interrupted, and a program with a thread inside it cannot end (nor let go of
// its files) until the device has taken everything. Returns a descriptor that reads end
// of file once the writing is done; -1 when no process could be started.
int SyncFileSystemsApart(const std::vector<int>& fds);
// Hands the file of fd to a process of its own, which closes it last and ends: the last
// close of a file whose data is still on its way to the device waits, uninterruptibly,
// until the device has taken it, and a program that abandons such a file need not stay
// for that. fd then leads to /dev/null and is still the caller's to close. Nothing
// changes when no process can be started. With a name, that process first removes
// dirFd/name, which a journal busy with that data may hold up as long. True when the file
// was handed over.
bool CloseApart(int fd, int dirFd = -1, const char* name = nullptr);
// What the page cache holds that is not on its devices yet, of the whole system
// (Dirty and Writeback of /proc/meminfo): the most a flush can still have to write.
// None when it cannot be read.
std::optional<int64_t> UnwrittenCacheBytes();

// True when the file system of the path is a FUSE one (exFAT
// sticks through exfat-fuse, SSHFS shares and many more).
bool IsFuse(const std::string& path);
// What the file system of an open directory is, from one fstatfs: FUSE, and whether a
// file keeps its inode number for as long as it exists (the kernel's own disk and memory
// file systems; FAT gives a file a new one when it drops out of the cache, FUSE may with
// every lookup, a share as its server pleases).
struct TFileSystemTraits {
    bool Fuse = false;
    bool StableInodes = false;
};
TFileSystemTraits FileSystemTraitsOf(int fd);
// A name a FUSE file system gives a file that was removed while still open, until it is
// closed (".fuse_hidden…"): its own, never a file of the user's.
bool IsFuseHiddenName(std::string_view name);

// The bytes the block device of a file system has written since it was started (its own
// counter in sysfs; a partition's own); none for a file system on no block device (tmpfs,
// FUSE, a share) or when it cannot be read.
std::optional<int64_t> DeviceBytesWritten(dev_t device);

// The user's home directory ($HOME, else the password database), or empty.
std::string HomeDirectory();

// unlink; 0 or errno.
int RemoveFile(const std::string& path);

// Gives the owner write permission (chmod u+w); 0 or errno.
int MakeOwnerWritable(const std::string& path);

// The real path of this process's executable (/proc/self/exe), or empty.
std::string ExecutablePath();

} // namespace ferrox
