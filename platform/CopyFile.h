#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

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
    // fsync the new target before it gets its name (wanted before a source goes).
    bool SyncTarget = false;
};

struct TCopyResult {
    int Error = 0; // 0 on success, else errno or a TFerroxError
    // The source itself could not be looked up (Error says why): nothing was attempted.
    bool SourceMissing = false;
    TFileIdentity Source; // the source as it was when the copy began
};

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
        // Target side: new files take this directory's default ACL rather than the umask.
        bool DefaultAcl = true;
        // Target side: the file system refused an unnamed file here once.
        bool NoUnnamed = false;
    };

    // The open directory at path, opened now unless it is the one of the last copy.
    // nullptr with error set when it cannot be opened.
    TDir* SourceDir(std::string_view path, int& error);
    TDir* TargetDir(std::string_view path, int& error);

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
};

// Copies one file onto Target, replacing it. The data goes into an unnamed file in
// Target's directory (reflink clone, else copy_file_range in chunks, else read/write;
// holes of a sparse source stay holes), followed by extended attributes (ACLs included,
// where the target takes them), mode bits and modification time; the finished file then
// gets Target's name in one step. On any failure or a cancel an existing Target is left as
// it was and nothing of the copy stays behind, even when the process is killed; file
// systems without unnamed files use a named temporary that is removed on failure.
// A symbolic link is recreated as a link; fifos, sockets and devices are refused without
// being opened; a target that is the source itself, or the file the source link points
// to, is refused. With a context, the directories are looked up once for many files.
TCopyResult CopyFileWithProgress(const std::string& source, const std::string& target,
                                 const TCopyOptions& options, TCopyContext* context = nullptr);

// True when Path still names the file described by identity (same device, inode, size
// and modification time).
bool IsSameFileState(const std::string& path, const TFileIdentity& identity,
                     TCopyContext* context = nullptr);

// Recognises the names of the temporary files this copy creates.
bool IsCopyTempName(const std::string& name);

} // namespace ferrox
