#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/CopyContext.h"
#include "platform/CopyPolicy.h"
#include "platform/Fd.h"
#include "platform/FileSystem.h"
#include "platform/FilledTargets.h"

namespace ferrox {

class ICopyPace;

// How far a copy has got: once when its data begins (Starts, nothing done), then after
// every chunk, Done of Size bytes.
struct TCopyProgress {
    int64_t Size = 0;
    int64_t Done = 0;
    bool Starts = false;
    dev_t Device = 0; // with Starts: the device the copy writes to
    // With Starts: where a copy continues the partial a copy cut off left (0: from the
    // first byte). Size and Done count only what it adds.
    int64_t ContinuedAt = 0;
};
// Called on the copying thread.
using TCopyProgressRoutine = std::function<void(const TCopyProgress&)>;

struct TCopyOptions {
    TCopyProgressRoutine Progress = nullptr;
    // Non-zero stops the copy at its next chunk; the copy then fails with ECANCELED.
    const std::atomic<bool>* Cancel = nullptr;
    // Holds the copy between chunks (a pause, a cap on the rate; platform/CopyPace.h);
    // none: it goes as fast as it can.
    ICopyPace* Pace = nullptr;
    // fsync the new target before it gets its name (wanted before a source goes).
    bool SyncTarget = false;
    // The copy is a Move's: a target the policy leaves as it is is compared with the
    // source, and one holding exactly its bytes (the copy a run cut off before the source
    // went, or anyone's) is reported as such (TCopyResult::TargetHoldsSource).
    bool Move = false;
    // A large file is written to its device as it is copied, a few MiB behind the copy,
    // instead of all at once by a flush at the end: the copy's pace is then the device's,
    // not the page cache's, and little is left to write when the run ends.
    bool WriteBehind = false;
    // What happens when the target exists already.
    TExistingTargets Existing = TExistingTargets::Overwrite;
    // The run's record of the targets it filled (none: a copy on its own): a target this
    // run copied from another source is never replaced (errJustCopiedOther).
    TFilledTargets* Filled = nullptr;
    // Read the new file back from the disk before it gets its name, and compare it with
    // what was written: errVerificationFailed when they differ.
    bool Verify = false;
    // Called with the new file's descriptor once its content is written, before it is
    // verified: a test spoils it here.
    std::function<void(int fd)> AfterWriteForTesting = nullptr;
};

// Where a copy found its source: the directory it reached it through, held open, and its
// name there. What a Move removes afterwards is looked up the same way, never by the path
// again: a directory renamed, swapped or re-pointed meanwhile cannot make it remove a file
// that was not copied.
struct TCopiedSource {
    std::shared_ptr<const TFd> Dir; // null: Name is a path of its own (relative to the cwd)
    std::string Name;
    TFileIdentity Identity; // the source as it was when the copy began
    int DirFd() const;
};

struct TCopyResult {
    int Error = 0; // 0 on success, else errno or a TFerroxError
    // The source itself could not be looked up (Error says why): nothing was attempted.
    bool SourceMissing = false;
    TFileIdentity Source; // the source as it was when the copy began
    TCopiedSource Copied; // set once the source was found
    // The directory the copy wrote into, held open, and its device: a run puts what it
    // wrote on the disk through it at its end. Null before the target was reached, or when
    // it could be opened only as a path (a target directory we may not read).
    std::shared_ptr<const TFd> TargetDir;
    dev_t TargetDevice = 0;
    // The copy stands, but the target refused some extended attributes it otherwise
    // takes (too many, too large): the errno of the first refusal, else 0.
    int AttributesRefused = 0;
    // The target existed and the policy left it as it was: nothing was written.
    bool Skipped = false;
    // Skipped, for a Move: the target is the source's like (a regular file with its size,
    // time and every byte, on the disk; or a link to the same place), so the source may go.
    bool TargetHoldsSource = false;
    // The name the copy took beside an existing target (keep both); empty when it took
    // the target's own.
    std::string TargetName;
    // Where the copy continued a partial a copy cut off left (0: from the first byte).
    int64_t ContinuedAt = 0;
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

enum class TSourceState {
    Copied, // the name still holds the file that was copied, unchanged
    Gone,   // nothing is under the name
    Other,  // something else is: another file, or the copied one changed since
};
TSourceState SourceStateOf(const TCopiedSource& source);

// Each of these acts only while the name still holds the copied file (errSourceChanged
// otherwise), through the directory the copy used; 0 or errno.
int UnlinkCopiedSource(const TCopiedSource& source);
// Into the trash; sourcePath is the path the trash records for a later restore.
int TrashCopiedSource(const TCopiedSource& source, const std::string& sourcePath);
// Gives the owner write permission.
int MakeCopiedSourceWritable(const TCopiedSource& source);

} // namespace ferrox
