#include "engine/CopyNowThread.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/ExpandDir.h"
#include "engine/FileCopy.h"
#include "engine/PathUtils.h"
#include "persist/Options.h"
#include "platform/CopyFile.h"
#include "platform/SysError.h"

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

void TCopyNOWThread::Execute() {
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    ShowStatus("Starting Copy");
    Trace("CopyNowThread");
    try {
        const bool thisLineOnly = run_.CopyThisLineOnly.load();
        TCopyContext copyContext;
        PVirtualNode Source, Destination;
        if (thisLineOnly) {
            Source = from.FirstSelectedNode();
            if (Source)
                Destination = queue_.GetToNode(from.Index(Source));
        } else {
            Source = from.FirstNode();
            Destination = to.FirstNode();
        }
        while (Source) {
            if (Destination) {
                std::string S = Source->Data.Path;
                std::string D = Destination->Data.Path;
                const bool Move = TCopyQueue::IsMove(Source);
                if (S == D)
                    S.clear();
                if (!S.empty()) {
                    if (run_.CopyNowCaptionIs(RunTexts::CopyNowPaused.Caption))
                        ShowStatus("Copy currently Paused.");
                    run_.PauseEvent.Wait();
                    if (run_.AbortFlag.load() != 0 || run_.Terminated.load())
                        break;
                    AddSlash(D);
                    int errorCode = 0;
                    // Taking the line from waiting to in progress is one step with the
                    // test, so a line the user deletes or resets meanwhile is not copied.
                    if (from.CompareExchangeStatus(Source, lsFileWaiting, lsFileCopying)) {
                        to.SetStatus(Destination, lsDirCopying);
                        TFileCopyResult copy = DoFileCopy(S, D + NamePart(S), Move, run_.AbortFlag,
                                                          {DeleteToRecycle.load(), &copyContext});
                        bool ok = copy.Ok();
                        errorCode = copy.Error;
                        from.SetStatus(Source, ok ? lsFileDone : lsFileFailed);
                        to.SetStatus(Destination, ok ? lsDirDone : lsDirFailed);
                        if (!ok)
                            ShowStatus("Error copying file [" + SysErrorMessage(errorCode) + "]");
                    } else if (from.CompareExchangeStatus(Source, lsDirWaiting, lsDirCopying)) {
                        to.SetStatus(Destination, lsDirCopying);
                        bool ok = ExpandDir(queue_, run_, Source, S, Destination, D, errorCode);
                        from.SetStatus(Source, ok ? lsDirDone : lsDirFailed);
                        to.SetStatus(Destination, ok ? lsDirDone : lsDirFailed);
                        if (!ok)
                            ShowStatus("Error copying file [" + SysErrorMessage(errorCode) + "]");
                    }
                    from.RepaintNow();
                    to.RepaintNow();
                }
            }
            if (run_.AbortFlag.load() != 0)
                break;
            if (thisLineOnly) {
                Source = from.NextSelectedNode(Source);
                if (Source)
                    Destination = queue_.GetToNode(from.Index(Source));
            } else {
                Source = from.NextNode(Source);
                Destination = to.NextNode(Destination);
            }
        }
    } catch (const std::exception& e) {
        LogError(std::string("An Exception occurred, please the email developer the log file [") +
                 e.what() + "]");
    } catch (...) {
        LogError("An Exception occurred, please the email developer the log file [unknown]");
    }
    run_.CopyRunning.store(false);
    run_.CopyThisLineOnly.store(false);
    run_.SetCopyNow(RunTexts::CopyNowIdle);
    run_.SetClose(RunTexts::CloseIdle);
    ShowStatus("All File Copies Completed");
    run_.AbortFlag.store(0);
    Trace({});
    finished_.store(true);
}

} // namespace ferrox
