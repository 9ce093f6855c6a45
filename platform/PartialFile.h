#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/Fd.h"

struct stat;

namespace ferrox {

// A large file's copy is written into a partial beside its target (a hidden temporary of
// ours, see PartialNameOf) that outlives a kill, a crash or a pulled stick: every
// PartialStep bytes it is put on the disk and its name records how much of it is there. The
// next copy of the same source onto the same target name continues where that ends.
inline constexpr int64_t ResumableFrom = 64 << 20;
inline constexpr int64_t PartialStep = 32 << 20;
// How much of a partial's end is compared with the source's before it is trusted (all of
// it where copies are verified).
inline constexpr int64_t PartialCheckBytes = 1 << 20;

// A partial being written by this process.
struct TPartialFile {
    std::string Key;    // the target name's and the source's (see PartialKeyOf)
    std::string Name;   // its name now, in the target directory
    int64_t Length = 0; // how much of it its name says is on the disk
};

// The key of a target name and a source: 16 hex digits of the name's hash, 16 of the
// source's identity (device, inode, size, modification time).
std::string PartialKeyOf(std::string_view targetName, const struct stat& source);

// Looks in dirFd for a partial of targetName left by a writer that is provably gone and
// held by no one. One for this source (its key's second half) whose last bytes (with
// `whole`, all of them) are the source's at the same place is taken over: locked, renamed
// to this process's, cut to the length its name gives; the descriptor (read-write), with
// *partial filled. Any other for targetName (the source changed since, or its bytes
// differ) is removed. An invalid TFd when none was taken over.
TFd TakeOverPartial(int dirFd, std::string_view targetName, int in, const struct stat& source,
                    bool whole, const std::atomic<bool>* cancel, TPartialFile& partial);

// A new, empty partial for key in dirFd, created with mode and locked; an invalid TFd with
// error set when none could be made.
TFd CreatePartial(int dirFd, mode_t mode, const std::string& key, TPartialFile& partial,
                  int& error);

// Removes what partials for targetName gone writers left in dirFd and no one holds: once a
// copy onto that name stands, none of them will be continued (one whose writer was still
// ending when the copy began, one for an earlier state of the source).
void RemoveLeftPartials(int dirFd, std::string_view targetName);

// The partial's first `length` bytes are written: onto the disk with them, then its name
// says so. 0, or errno when they could not be put on the disk (the copy then fails).
int MarkPartial(int dirFd, int fd, TPartialFile& partial, int64_t length);

} // namespace ferrox
