#include "engine/FileCopy.h"

#include "diag/Clock.h"
#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "platform/CopyFile.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"
#include "platform/Trash.h"

#include <cerrno>
#include <chrono>
#include <exception>

namespace ferrox {

int DeleteToBin(TStatusLine& status, const TCopiedSource& Source, const std::string& Path) {
    TTraceScope trace("DeleteToBin");
    try {
        return TrashCopiedSource(Source, Path);
    } catch (const std::exception& e) {
        status.Show(std::string("Exception Error: ") + e.what());
        return ENOMEM;
    }
}

namespace {

// 0 when the copied file is no longer under its name; EEXIST when something else stands
// there (someone put it there); otherwise `error`, why it is still there.
int Outcome(const TCopiedSource& source, int error) {
    switch (SourceStateOf(source)) {
    case TSourceState::Gone:
        return 0;
    case TSourceState::Other:
        return EEXIST;
    case TSourceState::Copied:
        break;
    }
    return error != 0 ? error : EEXIST;
}

// Removes a moved source as the trash option says, trying once more after giving the
// owner write permission; each step only while the name still holds the copied file,
// reached through the directory the copy read it from. 0 when it is gone, else why not.
int RemoveMovedSource(TStatusLine& status, const TCopiedSource& source, const std::string& path,
                      bool toTrash) {
    if (SourceStateOf(source) != TSourceState::Copied)
        return errSourceChanged;
    int error = toTrash ? DeleteToBin(status, source, path) : UnlinkCopiedSource(source);
    if (SourceStateOf(source) != TSourceState::Copied)
        return Outcome(source, error);
    MakeCopiedSourceWritable(source);
    if (toTrash) {
        error = DeleteToBin(status, source, path);
        if (SourceStateOf(source) != TSourceState::Copied)
            return Outcome(source, error);
    }
    return Outcome(source, UnlinkCopiedSource(source));
}

// The copy's options for one file of a run.
TCopyOptions CopyOptionsFor(const TFileCopyOptions& options, TCopyReporter& reporter,
                            const std::atomic<int32_t>& AbortFlag, bool Move) {
    TCopyOptions copy;
    copy.Progress = options.Progress ? CopyProgressCallback : nullptr;
    copy.Data = &reporter;
    copy.Cancel = &AbortFlag;
    // The new file must be on disk before its source may go.
    copy.SyncTarget = Move;
    copy.Existing = options.Existing;
    copy.Filled = options.Filled;
    copy.Verify = options.Verify;
    copy.WriteBehind = options.WriteBehind;
    copy.AfterWriteForTesting = options.AfterWriteForTesting;
    return copy;
}

// What the user is told of a file that was copied, and a Move's source removed; the
// source's fate in result.SourceError.
void Copied(const TCopyResult& copy, const std::string& Source, const std::string& Target,
            bool Move, const TFileCopyOptions& options, TStatusLine& status,
            TFileCopyResult& result) {
    if (!copy.TargetName.empty())
        status.Show("Target exists, copied as [" +
                    JoinPath(std::string(DirectoryView(Target)), copy.TargetName) + "]");
    if (options.Progress)
        options.Progress->TotalBytesCopied.fetch_add(copy.Source.Size, std::memory_order_relaxed);
    if (copy.AttributesRefused != 0)
        LogError(status, "Extended attributes not all copied [" + Source + "] to [" + Target +
                             "] " + SysErrorMessage(copy.AttributesRefused));
    if (!Move)
        return;
    // A copy without all its attributes is not the whole file.
    result.SourceError =
        copy.AttributesRefused != 0
            ? errAttributesIncomplete
            : RemoveMovedSource(status, copy.Copied, Source, options.DeleteToRecycle);
    // The run tells it as a source not removed as well.
    if (result.SourceError != 0)
        LogError(status,
                 "Source not removed [" + Source + "] " + SysErrorMessage(result.SourceError),
                 TStatusKind::Told);
}

// What the user is told of a copy that failed (the run tells each as a failed line too).
void Failed(const TCopyResult& copy, const std::string& Source, const std::string& Target,
            TStatusLine& status) {
    if (copy.Error == errVerificationFailed)
        LogError(status, "Verification failed [" + Source + "]", TStatusKind::Told);
    else if (copy.Error == errSourceChangedDuringCopy)
        LogError(status, SysErrorMessage(copy.Error) + " [" + Source + "]", TStatusKind::Told);
    else
        LogError(status,
                 "Error copying file [" + Source + "] to [" + Target + "] " +
                     SysErrorMessage(copy.Error),
                 TStatusKind::Told);
}

} // namespace

TFileCopyResult DoFileCopy(const std::string& Source, const std::string& Target, bool Move,
                           const std::atomic<int32_t>& AbortFlag, const TFileCopyOptions& options) {
    TTraceScope trace("DoFileCopy");
    static TStatusLine nowhere;
    TStatusLine& status = options.StatusLine ? *options.StatusLine : nowhere;
    TFileCopyResult result;
    TCopyReporter reporter{nullptr};
    // What an exception before the copy leaves: nothing here throws but an allocation.
    result.Error = ENOMEM;
    status.Show(Source);
    try {
        TProgressChannel* progress = options.Progress;
        reporter.Channel = progress;
        if (progress) {
            reporter.File = progress->NextFile.fetch_add(1, std::memory_order_relaxed);
            reporter.StartNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(ClockNow().time_since_epoch())
                    .count();
        }
        // The copy's own lookup of the source is the existence test: one lookup, not two.
        const TCopyResult copy = CopyFileWithProgress(
            Source, Target, CopyOptionsFor(options, reporter, AbortFlag, Move), options.Context);
        ReportCopyEnded(reporter);
        result.Error = copy.Error;
        result.SourceMissing = copy.SourceMissing;
        result.Size = copy.Source.Valid ? copy.Source.Size : 0;
        result.TargetDir = copy.TargetDir;
        result.TargetDevice = copy.TargetDevice;
        result.Skipped = copy.Skipped;
        result.Written = reporter.Reported;
        // What a failed copy moved is not done, nor what a copy that found its name taken
        // at the last moment wrote.
        if (progress && (copy.Error != 0 || copy.Skipped))
            progress->BytesMoved.fetch_sub(reporter.Reported, std::memory_order_relaxed);
        if (copy.SourceMissing) {
            // Nothing exists to copy: no log line, as for any missing source.
        } else if (copy.Error == 0 && copy.Skipped) {
            // The target stays as it was, and so does a moved source: nothing was copied.
            status.Show("Skipped, target exists [" + Target + "]");
        } else if (copy.Error == 0) {
            Copied(copy, Source, Target, Move, options, status, result);
        } else {
            Failed(copy, Source, Target, status);
        }
    } catch (const std::exception& e) {
        LogError(status,
                 std::string("An Exception occurred, please the email developer the log file [") +
                     e.what() + "]");
    }
    // A face that prints the run's failed lines need not say that a failed file finished.
    status.Put("Finished Copying file [" + Source + "]",
               result.Ok() ? TStatusKind::Info : TStatusKind::Told);
    return result;
}

} // namespace ferrox
