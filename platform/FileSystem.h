#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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
};

enum class TEntryKind { File, Directory, Symlink, Special };

struct TDirEntry {
    std::string Name; // the entry's name as the file system holds it
    TEntryKind Kind;
};

// The identity recorded in a stat buffer.
TFileIdentity IdentityOf(const struct ::stat& st);

// True when something exists at Path (lstat: a dangling link counts). When the last
// component holds '*' or '?', true when any entry of its directory matches it (fnmatch).
bool PathMatchesAny(const std::string& path);

// True when Path names a directory (stat, links followed).
bool IsDirectory(const std::string& path);

// lstat of Path; Valid is false (and errno set) when it cannot be read.
TFileIdentity GetFileIdentity(const std::string& path);
// stat of Path (links followed).
TFileIdentity GetFileIdentityFollow(const std::string& path);

// mkdir with mode 0777 less the umask; 0 or errno.
int MakeDirectory(const std::string& path);

// Calls onEntry for every entry of the directory in the order the file system returns
// them, dot files included, "." and ".." skipped. onEntry returns false to stop early.
// 0 or errno (of opendir or readdir).
int EnumerateDirectory(const std::string& dir,
                       const std::function<bool(const TDirEntry&)>& onEntry);

// Writes all of data, going on after short writes and EINTR; 0 or errno. A write that
// stores nothing counts as ENOSPC, never as success.
int WriteAll(int fd, std::string_view data);

// unlink; 0 or errno.
int RemoveFile(const std::string& path);

// Gives the owner write permission (chmod u+w); 0 or errno.
int MakeOwnerWritable(const std::string& path);

// The real path of this process's executable (/proc/self/exe), or empty.
std::string ExecutablePath();

} // namespace ferrox
