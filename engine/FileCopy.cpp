#include "engine/FileCopy.h"

#include "diag/Clock.h"
#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/PathUtils.h"
#include "platform/CopyFile.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "platform/Trash.h"

#include <cerrno>
#include <chrono>
#include <exception>

namespace ferrox {

void DeleteToBin(const std::string& Path) {
    TTraceScope trace("DeleteToBin");
    try {
        // A refusal is not reported here: the caller sees the file still there and
        // deletes it for good.
        MoveToTrash(Path);
    } catch (const std::exception& e) {
        ShowStatus(std::string("Exception Error: ") + e.what());
    }
}

namespace {

// Removes a moved source as the trash option says, trying once more after giving the
// owner write permission; 0 when it is gone, else the reason it is still there.
int RemoveMovedSource(const std::string& Source, bool toTrash) {
    int error = 0;
    if (toTrash) {
        DeleteToBin(Source);
    } else {
        error = RemoveFile(Source);
    }
    if (!MyFileExists(Source))
        return 0;
    MakeOwnerWritable(Source);
    if (toTrash) {
        DeleteToBin(Source);
        if (!MyFileExists(Source))
            return 0;
    }
    error = RemoveFile(Source);
    if (!MyFileExists(Source))
        return 0;
    // Removed, yet something stands under the name again: someone put it there.
    return error != 0 ? error : EEXIST;
}

} // namespace

TFileCopyResult DoFileCopy(const std::string& Source, const std::string& Target, bool Move,
                           const std::atomic<int32_t>& AbortFlag, const TFileCopyOptions& options) {
    TTraceScope trace("DoFileCopy");
    TFileCopyResult result;
    // What an exception before the copy leaves: nothing here throws but an allocation.
    result.Error = ENOMEM;
    ShowStatus(Source);
    try {
        CopyStartTime.store(
            std::chrono::duration_cast<std::chrono::nanoseconds>(ClockNow().time_since_epoch())
                .count());
        TCopyOptions copyOptions;
        copyOptions.Progress = CopyProgressCallback;
        copyOptions.Cancel = &AbortFlag;
        // The new file must be on disk before its source may go.
        copyOptions.SyncTarget = Move;
        // The copy's own lookup of the source is the existence test: one lookup, not two.
        TCopyResult copy = CopyFileWithProgress(Source, Target, copyOptions, options.Context);
        result.Error = copy.Error;
        result.SourceMissing = copy.SourceMissing;
        if (copy.SourceMissing) {
            // Nothing exists to copy: no log line, as for any missing source.
        } else if (copy.Error == 0) {
            TotalBytesCopied.fetch_add(copy.Source.Size, std::memory_order_relaxed);
            if (Move) {
                if (IsSameFileState(Source, copy.Source, options.Context))
                    result.SourceError = RemoveMovedSource(Source, options.DeleteToRecycle);
                else
                    result.SourceError = errSourceChanged;
                if (result.SourceError != 0)
                    LogError("Source not removed [" + Source + "] " +
                             SysErrorMessage(result.SourceError));
            }
        } else {
            LogError("Error copying file [" + Source + "] to [" + Target + "] " +
                     SysErrorMessage(copy.Error));
        }
    } catch (const std::exception& e) {
        LogError(std::string("An Exception occurred, please the email developer the log file [") +
                 e.what() + "]");
    }
    ShowStatus("Finished Copying file [" + Source + "]");
    return result;
}

} // namespace ferrox
