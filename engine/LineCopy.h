#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

#include "engine/RunEvents.h"
#include "engine/progress/ProgressChannel.h"
#include "platform/CopyPolicy.h"
#include "platform/Fd.h"

namespace ferrox {

class ICopyPace;
class TCopyContext;
class TFilledTargets;
struct TCopiedSource;

struct TLineCopyOptions {
    // A moved source goes into the trash (else it is deleted for good).
    bool DeleteToRecycle = true;
    // The run's directory cache for consecutive files of one directory; none: every copy
    // looks its directories up for itself.
    TCopyContext* Context = nullptr;
    // Where the copy's progress goes (none: nowhere).
    TProgressChannel* Progress = nullptr;
    // Where what happens to the file is told (none: nowhere), and the source line it is
    // about.
    IRunEventSink* Events = nullptr;
    PVirtualNode Line = nullptr;
    // What happens when the target exists already.
    TExistingTargets Existing = TExistingTargets::Overwrite;
    // The run's record of the targets it filled (see TFilledTargets); none: no record.
    TFilledTargets* Filled = nullptr;
    // Each copy is read back from the disk and compared before it gets its name.
    bool Verify = false;
    // See TCopyOptions: wanted when the run ends with its data on the disk.
    bool WriteBehind = false;
    // Holds the copy between its chunks (a pause, the speed cap); none: nothing does.
    ICopyPace* Pace = nullptr;
    // Passed on to the copy (see TCopyOptions).
    std::function<void(int fd)> AfterWriteForTesting = nullptr;
};

struct TLineCopyResult {
    // 0 when the file is at the target; else why not (errno or a TFerroxError).
    int Error = 0;
    // A Move whose copy stands but whose source is still there: why (errno, or
    // errSourceChanged when it changed while it was copied). 0 otherwise.
    int SourceError = 0;
    // The source could not be looked up: nothing was attempted and nothing logged.
    bool SourceMissing = false;
    // The source's size when the copy began (0 when it was not found).
    int64_t Size = 0;
    // The directory written into and its device (see TCopyResult).
    std::shared_ptr<const TFd> TargetDir;
    dev_t TargetDevice = 0;
    // The target existed and was left as it was (the line is done, nothing was written).
    bool Skipped = false;
    // A Move's source was removed: after its copy, or when a target left as it was held
    // exactly its bytes already.
    bool SourceGone = false;
    // Bytes of the file the copy had moved when it ended (for one stopped part-way, what
    // was written and then thrown away).
    int64_t Written = 0;

    bool Ok() const { return Error == 0; }
};

// Copies Source onto the file path Target (an existing target is replaced, kept or kept
// beside as options.Existing says); with Move the source goes afterwards, into the trash
// or for good as options.DeleteToRecycle says, but only after a complete (and, with
// options.Verify, verified) copy, and only while it is still the file that was copied. A
// source that stays is told (SourceNotRemoved) and in SourceError; a skipped copy removes
// it only when the target it left holds exactly the source's bytes. What happens is told in order,
// FileFinished last.
TLineCopyResult DoFileCopy(const std::string& Source, const std::string& Target, bool Move,
                           const std::atomic<bool>& abortAsked,
                           const TLineCopyOptions& options = {});

// Moves a copied file into the trash while its name still holds what was copied; Path is
// what the trash records. 0, or why it stays where it is.
int DeleteToBin(IRunEventSink* events, const TCopiedSource& Source, const std::string& Path);

} // namespace ferrox
