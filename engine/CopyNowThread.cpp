#include "engine/CopyNowThread.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/ExpandDir.h"
#include "engine/FileCopy.h"
#include "engine/PathUtils.h"
#include "platform/FileSystem.h"
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
    IRunEvents* events = run_.Events();
    const std::string& S = pair.SourcePath;
    if (events)
        events->FileStarted(S);
    const TFileCopyResult copy =
        DoFileCopy(S, JoinPath(pair.DestPath, NamePart(S)), pair.Move, run_.AbortFlag,
                   {run_.DeleteToRecycle.load(), &copyContext_, &run_.Progress});
    const bool ok = copy.Ok();
    const int errorCode = copy.Error;
    queue_.lstCopyFrom.SetStatus(Source, ok ? lsFileDone : lsFileFailed);
    queue_.lstCopyTo.SetStatus(pair.Dest, ok ? lsDirDone : lsDirFailed);
    if (events)
        events->FileFinished(S, ok ? 0 : errorCode);
    if (!ok) {
        ShowStatus("Error copying file [" + SysErrorMessage(errorCode) + "]");
        if (events)
            events->LineFailed(S, errorCode, S);
    } else if (copy.SourceError && events) {
        events->SourceNotRemoved(S, copy.SourceError);
    }
}

void TCopyNOWThread::CopyDirLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair) {
    const TExpandResult r =
        ExpandDir(queue_, run_, Source, pair.SourcePath, pair.Dest, pair.DestPath);
    int32_t status = lsDirDone;
    if (r.Failed())
        status = lsDirFailed;
    else if (!r.Complete)
        status = lsDirWaiting; // stopped part-way: the next run adds the missing entries
    queue_.lstCopyFrom.SetStatus(Source, status);
    queue_.lstCopyTo.SetStatus(pair.Dest, status);
    if (r.Failed()) {
        const std::string reason = SysErrorMessage(r.Code);
        LogError((r.Where == pair.SourcePath ? "Error copying directory ["
                                             : "Error creating directory [") +
                 r.Where + "] " + reason);
        ShowStatus("Error copying file [" + reason + "]");
        if (IRunEvents* events = run_.Events())
            events->LineFailed(pair.SourcePath, r.Code, r.Where);
    }
}

void TCopyNOWThread::Execute() {
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    ShowStatus("Starting Copy");
    Trace("CopyNowThread");
    try {
        const bool thisLineOnly = run_.CopyThisLineOnly.load();
        PVirtualNode Source = thisLineOnly ? from.FirstSelectedNode() : from.FirstNode();
        while (Source) {
            run_.Reached(TRunPoint::LineReached, Source->Data.Path);
            // Only a paused run looks at the pair before taking it: a line it would pass
            // over anyway does not stop it.
            if (!run_.PauseEvent.IsSet() && queue_.ReadPair(Source).Paired()) {
                if (run_.CopyNowCaptionIs(RunTexts::CopyNowPaused.Caption))
                    ShowStatus("Copy currently Paused.");
                run_.PauseEvent.Wait();
            }
            if (Stopping())
                break;
            // The partner is found by the source line's position now, not carried along
            // from the last line: deletions on one side or of whole pairs shift it, and
            // the user may have changed the lists during a pause.
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
                break;
            Source = thisLineOnly ? from.NextSelectedNode(Source) : from.NextNode(Source);
        }
    } catch (const std::exception& e) {
        LogError(std::string("An Exception occurred, please the email developer the log file [") +
                 e.what() + "]");
    } catch (...) {
        LogError("An Exception occurred, please the email developer the log file [unknown]");
    }
    const bool aborted = Stopping();
    run_.CopyRunning.store(false);
    run_.CopyThisLineOnly.store(false);
    run_.SetButtons(RunTexts::CopyNowIdle, RunTexts::CloseIdle);
    ShowStatus("All File Copies Completed");
    run_.AbortFlag.store(0);
    Trace({});
    finished_.store(true);
    // Last: whoever hears it may start the next run at once.
    if (IRunEvents* events = run_.Events())
        events->RunEnded(aborted);
}

} // namespace ferrox
