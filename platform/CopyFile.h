#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "FileSystem.h"

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
    // fsync the new target before it is renamed into place (wanted before a source goes).
    bool SyncTarget = false;
};

struct TCopyResult {
    int Error = 0;        // 0 on success, else errno or a TFerroxError
    TFileIdentity Source; // the source as it was when the copy began
};

// Copies one file onto Target, replacing it. Data goes to a temporary file in Target's
// directory (reflink clone, else copy_file_range, else read/write), mode bits and
// modification time follow, and a rename puts it in place. On any failure or a cancel
// the temporary file is removed and an existing Target is left as it was.
// A symbolic link is recreated as a link; fifos, sockets and devices are refused;
// a source that is the target itself (same device and inode) is refused.
TCopyResult CopyFileWithProgress(const std::string& source, const std::string& target,
                                 const TCopyOptions& options);

// True when Path still names the file described by identity (same device, inode, size
// and modification time).
bool IsSameFileState(const std::string& path, const TFileIdentity& identity);

// Recognises the names of the temporary files this copy creates.
bool IsCopyTempName(const std::string& name);

} // namespace ferrox
