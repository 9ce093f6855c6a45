#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/CopyContext.h"
#include "platform/FileSystem.h"

namespace ferrox {

// Reasons of a progress report.
inline constexpr uint32_t CALLBACK_CHUNK_FINISHED = 0;
inline constexpr uint32_t CALLBACK_STREAM_SWITCH = 1;

// Called on the copying thread: once with CALLBACK_STREAM_SWITCH and nothing transferred
// when the data starts, then with CALLBACK_CHUNK_FINISHED after every chunk.
using TCopyProgressRoutine = void (*)(int64_t totalFileSize, int64_t totalBytesTransferred,
                                      uint32_t callbackReason, void* data);

struct TCopyOptions {
    TCopyProgressRoutine Progress = nullptr;
    void* Data = nullptr;
    // Non-zero stops the copy at its next chunk; the copy then fails with ECANCELED.
    const std::atomic<int32_t>* Cancel = nullptr;
    // fsync the new target before it gets its name (wanted before a source goes).
    bool SyncTarget = false;
};

struct TCopyResult {
    int Error = 0; // 0 on success, else errno or a TFerroxError
    // The source itself could not be looked up (Error says why): nothing was attempted.
    bool SourceMissing = false;
    TFileIdentity Source; // the source as it was when the copy began
};

// Copies one file onto Target, replacing it. The data goes into an unnamed file in
// Target's directory (reflink clone, else copy_file_range in chunks, else read/write;
// holes of a sparse source stay holes), followed by extended attributes (ACLs included,
// where the target takes them), mode bits and modification time; the finished file then
// gets Target's name in one step. On any failure or a cancel an existing Target is left as
// it was and nothing of the copy stays behind, even when the process is killed; file
// systems without unnamed files use a named temporary that is removed on failure, and by
// the next copy into that directory in a later run when a killed copy left it.
// A symbolic link is recreated as a link; fifos, sockets and devices are refused without
// being opened; a target that is the source itself, or the file the source link points
// to, is refused. With a context, the directories are looked up once for many files.
TCopyResult CopyFileWithProgress(const std::string& source, const std::string& target,
                                 const TCopyOptions& options, TCopyContext* context = nullptr);

// True when Path still names the file described by identity (same device, inode, size
// and modification time).
bool IsSameFileState(const std::string& path, const TFileIdentity& identity,
                     TCopyContext* context = nullptr);

} // namespace ferrox
