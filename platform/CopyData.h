#pragma once
#include <cstdint>
#include <functional>
#include <sys/types.h>

#include "platform/ContentHash.h"
#include "platform/CopyFile.h"

struct stat;

namespace ferrox {

// Files larger than this are written to their device as they are copied when the copy asks
// for it (TCopyOptions::WriteBehind); smaller ones are left to the page cache.
inline constexpr int64_t WriteBehindAbove = 64 << 20;

// True once the copy's cancel flag asks it to stop.
bool Cancelled(const TCopyOptions& options);
// Tells the copy's progress routine, if any.
void Report(const TCopyOptions& options, const TCopyProgress& progress);

// Copies the bytes of in into the empty file out: a reflink clone where the two file
// systems can share blocks, else copy_file_range in growing chunks, else read/write; holes
// of a sparse source stay holes. Progress after every chunk, the cancel flag between them.
// 0, or errno (ECANCELED when cancelled).
// With a hash, every byte written is fed to it in order (holes as zeros); the data then
// goes through a buffer, or (a clone) the source is read for it.
// A copy into a partial that outlives a kill (platform/PartialFile.h) starts at From (the
// bytes before it are in out already; progress counts only what this copy adds) and calls
// Mark(end) every `Step` bytes; a Mark that fails fails the copy. A cancelled copy whose
// data is still on its way to the device calls Abandon (which removes the partial, apart:
// see CloseApart) instead of handing only the file to a process of its own.
struct TPartialCopy {
    int64_t From = 0;
    int64_t Step = 0;
    std::function<int(int64_t end)> Mark;
    std::function<void()> Abandon;
};
int CopyData(int in, int out, const struct stat& sourceStat, dev_t targetDevice,
             const TCopyOptions& options, TContentHash* hash = nullptr,
             const TPartialCopy* partial = nullptr);

// Extended attributes, POSIX ACLs among them, as far as the target takes them: a file
// system without them or a name space closed to us leaves the copy without that
// attribute, as cp -a does; one that the target has but refused (too many, too large) is
// told in `refused` (the first errno). Only a failing device fails the copy (EIO).
int CopyXattrs(int in, int out, int& refused);

} // namespace ferrox
