#include "engine/CopyNowThread.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/ExpandDir.h"
#include "engine/FileCopy.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"

#include <cerrno>
#include <exception>

namespace ferrox {

TCopyNOWThread::~TCopyNOWThread() {
    Terminate();
    WaitFor();
}

void TCopyNOWThread::Start() {
    thread_ = std::thread([this] { Execute(); });
}

void TCopyNOWThread::Terminate() {
    run_.Terminated.store(true);
}

void TCopyNOWThread::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

bool TCopyNOWThread::Stopping() const {
    return run_.AbortFlag.load() != 0 || run_.Terminated.load();
}

void TCopyNOWThread::CopyFileLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair) {
    TStatusLine& status = queue_.StatusLine;
    const std::string& S = pair.SourcePath;
    run_.Tell({TRunEvent::FileStarted, Source, S});
    const TFileCopyResult copy =
        DoFileCopy(S, JoinPath(pair.DestPath, NamePart(S)), pair.Move, run_.AbortFlag,
                   {run_.DeleteToRecycle.load(), &copyContext_, &run_.Progress, &status});
    const bool ok = copy.Ok();
    queue_.lstCopyFrom.SetStatus(Source, ok ? lsFileDone : lsFileFailed);
    queue_.lstCopyTo.SetStatus(pair.Dest, ok ? lsDirDone : lsDirFailed);
    run_.Tell({TRunEvent::FileFinished, Source, S, copy.Error});
    if (!ok) {
        status.Put("Error copying file [" + SysErrorMessage(copy.Error) + "]", TStatusKind::Told);
        run_.Tell({TRunEvent::LineFailed, Source, S, copy.Error, S});
    } else if (copy.SourceError) {
        run_.Tell({TRunEvent::SourceNotRemoved, Source, S, copy.SourceError});
    }
}

void TCopyNOWThread::CopyDirLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair) {
    TStatusLine& status = queue_.StatusLine;
    const TExpandResult r =
        ExpandDir(queue_, run_, Source, pair.SourcePath, pair.Dest, pair.DestPath);
    int32_t state = lsDirDone;
    if (r.Failed())
        state = lsDirFailed;
    else if (!r.Complete)
        state = lsDirWaiting; // stopped part-way: the next run adds the missing entries
    queue_.lstCopyFrom.SetStatus(Source, state);
    queue_.lstCopyTo.SetStatus(pair.Dest, state);
    if (r.Failed()) {
        const std::string reason = SysErrorMessage(r.Code);
        LogError(status,
                 (r.Where == pair.SourcePath ? "Error copying directory ["
                                             : "Error creating directory [") +
                     r.Where + "] " + reason,
                 TStatusKind::Told);
        status.Put("Error copying file [" + reason + "]", TStatusKind::Told);
        run_.Tell({TRunEvent::LineFailed, Source, pair.SourcePath, r.Code, r.Where});
    }
}

void TCopyNOWThread::Walk() {
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    const bool thisLineOnly = run_.CopyThisLineOnly.load();
    PVirtualNode Source = thisLineOnly ? from.FirstSelectedNode() : from.FirstNode();
    while (Source) {
        run_.Reached(TRunPoint::LineReached, Source->Data.Path);
        // Only a paused run looks at the pair before taking it: a line it would pass over
        // anyway does not stop it.
        if (!run_.PauseEvent.IsSet() && queue_.ReadPair(Source).Paired()) {
            if (run_.CopyNowCaptionIs(RunTexts::CopyNowPaused.Caption))
                queue_.StatusLine.Show("Copy currently Paused.");
            run_.PauseEvent.Wait();
        }
        if (Stopping())
            return;
        // The partner is found by the source line's position now, not carried along from
        // the last line: deletions on one side or of whole pairs shift it, and the user
        // may have changed the lists during a pause.
        TCopyQueue::TPair pair;
        if (queue_.TakePair(Source, pair)) {
            run_.Reached(TRunPoint::LineTaken, pair.SourcePath);
            if (IsDirStatus(pair.Status))
                CopyDirLine(Source, pair);
            else
                CopyFileLine(Source, pair);
            from.RepaintNow();
            to.RepaintNow();
        }
        if (Stopping())
            return;
        Source = thisLineOnly ? from.NextSelectedNode(Source) : from.NextNode(Source);
    }
}

void TCopyNOWThread::Execute() {
    TStatusLine& status = queue_.StatusLine;
    status.Show("Starting Copy");
    bool aborted = false;
    {
        // Popped at the end of the run, whatever ended it.
        TTraceScope trace("CopyNowThread", TTraceScope::Always);
        try {
            Walk();
        } catch (const std::exception& e) {
            LogError(status, std::string("An Exception occurred, please the email developer "
                                         "the log file [") +
                                 e.what() + "]");
        } catch (...) {
            LogError(status,
                     "An Exception occurred, please the email developer the log file [unknown]");
        }
        aborted = Stopping();
        run_.CopyRunning.store(false);
        run_.CopyThisLineOnly.store(false);
        run_.SetButtons(RunTexts::CopyNowIdle, RunTexts::CloseIdle);
        status.Show("All File Copies Completed");
        run_.AbortFlag.store(0);
    }
    finished_.store(true);
    // Last: whoever hears it may start the next run at once.
    TRunEvent ended{TRunEvent::RunEnded};
    ended.Aborted = aborted;
    run_.Tell(ended);
}

} // namespace ferrox
