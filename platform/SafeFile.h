#pragma once
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Fd.h"
#include "platform/FileSystem.h"

namespace ferrox {

// Whole small files (the queue file, the options) read and replaced safely. Unlike the rest
// of the platform these helpers throw: the file operations built on them (saving and
// loading a queue, reading the options) stop at the first failure and turn it into what
// the user sees in one place. The message names the file; Code is the errno (or
// TFerroxError) behind it.
class TFileError : public std::runtime_error {
public:
    TFileError(const std::string& message, int code) : std::runtime_error(message), Code(code) {}
    int Code;
};

// Opens a file for reading without ever blocking: a fifo or a device under the name is
// refused before a byte is read. An empty TFd with *missing set when nothing is there;
// any other failure (a directory, a fifo, no permission) throws
// TFileError("Unable to read " + path + ": " + reason).
TFd OpenRegularFile(const std::string& path, bool* missing);

// The rest of an open file's content; path names it in the error.
std::string ReadAll(int fd, const std::string& path);

// The whole content of a regular file. A file that does not exist reads as empty and sets
// *missing; any other failure throws as OpenRegularFile does.
std::string ReadWholeFile(const std::string& path, bool* missing = nullptr);

// Where a name's content lives: the name itself, or, when it is a symbolic link (or a
// chain of them), the path the links lead to, whether or not that exists yet.
std::string ResolveLinks(const std::string& path);

// Thrown when a replacement would have taken the place of a file other than the one its
// caller expected (TReplaceOptions::Expected); nothing was changed.
class TFileChangedError : public TFileError {
public:
    explicit TFileChangedError(const std::string& path)
        : TFileError("Unable to write to " + path + ": the file was changed meanwhile", EEXIST) {}
};

struct TReplaceOptions {
    // The new file carries an exclusive flock from before it takes the name, and its
    // descriptor is handed back.
    bool KeepLocked = false;
    // Replace only the file the caller knows: the name must still lead to a file with this
    // identity (device, inode, size, modification time), or, when it is not Valid, to
    // nothing at all. Otherwise TFileChangedError. Checked in the same step as the
    // replacement where the file system can swap two names (RENAME_EXCHANGE).
    const TFileIdentity* Expected = nullptr;
    // The owner, group and permission bits come from this open file instead of the file
    // that is replaced (-1: from that one; no file there: the saver's, as for a new file).
    int AttributesFrom = -1;
};

// Gives path the content without ever leaving it truncated: the content goes to an unnamed
// file in the same directory (every write checked, then fsync), which gets a name only
// right before it is renamed over path, so a killed process leaves nothing behind (where
// the file system has unnamed files; elsewhere a hidden temporary of RandomTempName's
// form may stay, which RemoveStaleTemps recognises). On
// failure path is as it was and TFileError("Unable to write to " + path + ": " +
// reason) is thrown. The replaced file's owner, group and permission bits are kept where
// the saver may give them (a user who is not root keeps at least the group when a member).
TFd ReplaceFileContent(const std::string& path, std::string_view content,
                       const TReplaceOptions& options = {});

// The same with content made a piece at a time, so it never stands whole in memory:
// `content` is called once with a function that writes one piece into the new file and
// returns 0 or an errno value, and returns the first such error (0: all written).
using TPieceWriter = std::function<int(std::string_view)>;
using TContentWriter = std::function<int(const TPieceWriter&)>;
TFd ReplaceFileContent(const std::string& path, const TContentWriter& content,
                       const TReplaceOptions& options = {});

// Makes `to` hold a copy of `from`'s content, replacing `to` in one step: a hard link when
// both lie on one file system, a full copy (as ReplaceFileContent, with `from`'s owner,
// group and permission bits) otherwise. `from` is left alone. Throws TFileError when
// neither worked; `to` is then as it was.
void LinkOrCopyAs(const std::string& from, const std::string& to);

// True when both are Valid and describe the same file with the same size and modification
// time: the file has been neither replaced nor written since a was taken.
bool SameIdentity(const TFileIdentity& a, const TFileIdentity& b);

// True when both names lead to the same file (SameInode of their lstat).
bool SameFile(const std::string& a, const std::string& b);

// Runs f after the content of a replacement is on disk and before it has any name.
void SetBeforeNamingHookForTesting(void (*f)());

} // namespace ferrox
