#include "engine/FileCopy.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/PathUtils.h"
#include "persist/Options.h"
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

void RemoveMovedSource(const std::string& Source) {
    bool toTrash = DeleteToRecycle.load();
    if (toTrash)
        DeleteToBin(Source);
    else
        RemoveFile(Source);
    if (MyFileExists(Source)) {
        MakeOwnerWritable(Source);
        if (toTrash) {
            DeleteToBin(Source);
            if (MyFileExists(Source))
                RemoveFile(Source);
        } else {
            RemoveFile(Source);
        }
    }
}

} // namespace

bool DoFileCopy(const std::string& Source, const std::string& Target, bool Move,
                const std::atomic<int32_t>& AbortFlag, int& errorCode) {
    TTraceScope trace("DoFileCopy");
    bool result = false;
    errorCode = 0;
    ShowStatus(Source);
    try {
        if (!MyFileExists(Source)) {
            errorCode = errno ? errno : ENOENT;
        } else {
            CopyStartTime.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
            TCopyOptions options;
            options.Progress = CopyProgressCallback;
            options.Cancel = &AbortFlag;
            // The new file must be on disk before its source may go.
            options.SyncTarget = Move;
            TCopyResult copy = CopyFileWithProgress(Source, Target, options);
            result = copy.Error == 0;
            errorCode = copy.Error;
            if (result)
                TotalBytesCopied.fetch_add(copy.Source.Size, std::memory_order_relaxed);
            if (result && Move) {
                if (IsSameFileState(Source, copy.Source))
                    RemoveMovedSource(Source);
                else
                    ShowStatus("Source changed while it was copied, not removed [" + Source + "]");
            }
            if (!result)
                LogError("Error copying file [" + Source + "] to [" + Target + "] " +
                         SysErrorMessage(errorCode));
        }
    } catch (const std::exception& e) {
        LogError(std::string("An Exception occurred, please the email developer the log file [") +
                 e.what() + "]");
    }
    ShowStatus("Finished Copying file [" + Source + "]");
    return result;
}

} // namespace ferrox
