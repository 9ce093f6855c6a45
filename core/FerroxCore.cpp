#include "core/FerroxCore.h"

#include "core/AppException.h"
#include "diag/ErrorLog.h"
#include "diag/Trace.h"
#include "platform/FileSystem.h"
#include "platform/SettingsDir.h"
#include "platform/SysError.h"

#include <atomic>
#include <memory>
#include <thread>

namespace ferrox {

TFerroxCore::TFerroxCore(std::string queueFileName) : defaultQueueFile_(std::move(queueFileName)) {
    // Before anything can log: an installed copy keeps its log out of whatever directory
    // the menu started it in.
    SetLogDirectory(StatePath());
    // The parts are wired to the relay once; a face attaching or leaving changes only
    // where the relay leads.
    queue_.StatusLine.SetSink(
        [this](const std::string& text, TStatusKind kind) { relay_.ShowStatus(text, kind); });
    run_.SetEvents(&relay_);
    queueFile_.PleaseWait = [this](bool shown) { order_.PleaseWait(shown); };
    commands_.BrowseDialog = [this](const std::string& caption, const std::string& start) {
        return relay_.Browse(caption, start);
    };
    // Every change a command makes is saved while the queue is small: at once, on the
    // command's thread, since the commands never run while the queue file's thread works.
    queue_.SetAutosave([this] { queueFile_.Autosave(); });
    order_.OnException = [this] { ReportUnhandledException(); };
}

template <class TResult>
void TFerroxCore::QueueFileWork(std::function<TResult()> work, std::function<void(TResult)> done) {
    order_.Run([this, work = std::move(work), done = std::move(done)] {
        // Written by the work's thread, read on this one once the work has ended.
        auto result = std::make_shared<TResult>();
        order_.RunOffThread([work, result] { *result = work(); },
                            [done, result] {
                                if (done)
                                    done(*result);
                            });
    });
}

TFerroxCore::~TFerroxCore() {
    Shutdown();
    DetachSinks();
}

void TFerroxCore::Attach(const TCoreSinks& sinks) {
    relay_.Set(sinks);
}

void TFerroxCore::DetachSinks() {
    relay_.Clear();
}

std::string LoadFailureText(const TLoadFailure& failure) {
    switch (failure.Result) {
    case TLoadResult::Loaded:
        return {};
    case TLoadResult::FileMissing:
        return MsgLoadFileMissing;
    case TLoadResult::NotAQueue:
        return NotAQueueMessage(failure.File);
    case TLoadResult::InUseElsewhere:
        return InUseMessage(failure.File);
    case TLoadResult::Refused:
        return MsgLoadWhileRunning;
    case TLoadResult::Unreadable:
        break;
    }
    return "Exception Error: " + failure.Reason;
}

TLoadResult TFerroxCore::Start() {
    run_.CopyRunning.store(false);
    run_.CopyThisLineOnly.store(false);
    const std::string& programDirectory = SettingsDir();
    run_.PauseEvent.Set();
    queueFile_.SetName(defaultQueueFile_.empty() ? programDirectory + "QUEUE.INI"
                                                 : defaultQueueFile_);
    options_ = LoadOptions(queue_.StatusLine, overrides_);
    // The engine takes the switches as plain values.
    run_.Settings.DeleteToRecycle = options_.DeleteToRecycle;
    run_.Settings.ExistingTargets = options_.ExistingTargets;
    run_.Settings.VerifyCopies = options_.VerifyCopies;
    run_.Settings.Workers = options_.Workers;
    run_.SpeedLimit.SetRate(options_.SpeedLimit);
    // The monitor has announced itself when Start returns: its words come before what
    // the load shows, and its trace entries never mix with the load's.
    monitor_.Start();
    auto loaded = std::make_shared<TLoadFailure>();
    QueueFileWork<TLoadResult>(
        [this, loaded] {
            queueFile_.LoadAtStart();
            *loaded = queueFile_.LastLoad();
            return loaded->Result;
        },
        [](TLoadResult) {});
    order_.Wait();
    startLoad_ = *loaded;
    // After the load's own words, which would hide them on the window's status line.
    TellUnknownOptions(queue_.StatusLine, options_);
    return startLoad_.Result;
}

void TFerroxCore::Shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // Each step on its own: a failure must not keep the threads behind it running. Silent,
    // because nothing is left to tell it to: the face is going. A save under way is
    // written to its end.
    try {
        order_.Stop();
    } catch (...) {
    }
    try {
        control_.ReleaseWorker();
    } catch (...) {
    }
    try {
        monitor_.Stop();
    } catch (...) {
    }
    run_.Progress.ProgressList.Clear();
}

void TFerroxCore::Closing() {
    control_.AskWorkerToEnd();
    // What still waited was meant for a window that goes on; run after the closing save,
    // it could write over it.
    order_.DropWaiting();
    queueFile_.Ending();
}

bool TFerroxCore::RunEndedWithin(std::chrono::milliseconds wait) {
    control_.AskWorkerToEnd();
    const TCopyNOWThread* worker = control_.CopyWorker();
    const auto until = std::chrono::steady_clock::now() + wait;
    // A short wait at the very end of the program: looking every few milliseconds costs
    // nothing there.
    while (worker && !worker->Finished()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void TFerroxCore::StartPauseResume() {
    order_.Run([this] { control_.StartPauseResume(); });
}

void TFerroxCore::AbortOrClose() {
    // Popped also when something throws: the buttons come back in any case.
    TTraceScope trace("btnCloseClick", TTraceScope::Always);
    relay_.EnableMainButtons(false);
    struct TEnableAgain {
        TFaceRelay& relay;
        bool now = true;
        ~TEnableAgain() {
            if (now)
                relay.EnableMainButtons(true);
        }
    } enableAgain{relay_};
    if (control_.Abort())
        return;
    // The buttons stay off until the queue is saved and the face is told to close.
    enableAgain.now = false;
    QueueFileWork<TSaveResult>([this] { return queueFile_.SaveNow(); },
                               [this](TSaveResult) {
                                   relay_.CloseProgram();
                                   relay_.EnableMainButtons(true);
                               });
}

void TFerroxCore::CopySelectedLinesNow() {
    order_.Run([this] { commands_.CopySelectedLinesNow(); });
}

void TFerroxCore::RunInTurn(std::function<void()> command) {
    order_.Run(std::move(command));
}

void TFerroxCore::AbortFromSignal() noexcept {
    static_assert(std::atomic<bool>::is_always_lock_free);
    run_.AbortAsked.store(true);
}

void TFerroxCore::AddFiles(const std::optional<std::vector<std::string>>& files) {
    order_.Run([this, files] { commands_.AddFiles(files); });
}

void TFerroxCore::AddSourceFolder() {
    order_.Run([this] { commands_.AddSourceFolder(); });
}

void TFerroxCore::AddDestinationFolder() {
    order_.Run([this] { commands_.AddDestinationFolder(); });
}

void TFerroxCore::DropOnSources(const std::vector<std::string>& paths,
                                const std::vector<std::string>& notLocal) {
    order_.Run([this, paths, notLocal] { commands_.DropOnSources(paths, notLocal); });
}

void TFerroxCore::DropOnDestinations(const std::vector<std::string>& paths,
                                     const std::vector<std::string>& notLocal) {
    order_.Run([this, paths, notLocal] { commands_.DropOnDestinations(paths, notLocal); });
}

void TFerroxCore::DeleteFullLines() {
    order_.Run([this] { commands_.DeleteFullLines(); });
}

void TFerroxCore::DeleteSourceLines() {
    order_.Run([this] { commands_.DeleteSourceLines(); });
}

void TFerroxCore::ResetCopyStatus() {
    order_.Run([this] { commands_.ResetCopyStatus(); });
}

void TFerroxCore::ClearSources() {
    order_.Run([this] { commands_.ClearSources(); });
}

void TFerroxCore::MarkMove(bool move) {
    order_.Run([this, move] { commands_.MarkMove(move); });
}

void TFerroxCore::MarkLineMove(const PVirtualNode& line, bool move) {
    order_.Run([this, line, move] { commands_.MarkLineMove(line, move); });
}

void TFerroxCore::ClearCompleted() {
    order_.Run([this] { commands_.ClearCompleted(); });
}

void TFerroxCore::DeleteDestinationLines() {
    order_.Run([this] { commands_.DeleteDestinationLines(); });
}

void TFerroxCore::ClearDestinations() {
    order_.Run([this] { commands_.ClearDestinations(); });
}

TQueueAnswer TFerroxCore::QueueFromOutside(const TQueueRequest& request) {
    TTraceScope trace("QueueFromOutside");
    auto refuse = [this](const std::string& reason) {
        queue_.StatusLine.Show(reason);
        return TQueueAnswer{false, reason};
    };
    std::vector<std::string> withBreaks;
    for (const std::string& path : request.Paths)
        if (HoldsLineBreak(path))
            withBreaks.push_back(path);
    if (request.Destination && HoldsLineBreak(*request.Destination))
        withBreaks.push_back(*request.Destination);
    if (!withBreaks.empty())
        return refuse(LineBreakMessage(withBreaks));
    if (request.Destination) {
        if (Running())
            return refuse(MsgCannotSetDestinationRunning);
        // Its lines would name a folder that is not there (any more): the copies would
        // fail, or make a file where a folder was meant.
        if (int error = CheckDirectory(*request.Destination))
            return refuse("cannot queue into '" + *request.Destination +
                          "': " + SysErrorMessage(error));
    }
    // Whole and alone: the request's lines pair with its own destination, or with none,
    // never with a line another request or the user left.
    std::string note;
    if (!request.Paths.empty()) {
        if (uint32_t removed =
                commands_.AddOwnLines(request.Paths, request.Move, request.Destination))
            note = MsgDestinationsWithoutSourceRemoved + ("[" + std::to_string(removed) + "]");
    } else if (request.Destination && commands_.GiveDestination(*request.Destination) == 0) {
        note = MsgNoLineWithoutDestination + ("[" + *request.Destination + "]");
    }
    // After the save, which empties the status line.
    if (!note.empty())
        queue_.StatusLine.Show(note);
    // Copy NOW's own rule: a run in its final steps still counts as going on, and a
    // paused one is not resumed behind the user's back.
    if (request.CopyNow && !Running() && Phase().Phase == TRunPhase::Idle)
        control_.StartPauseResume();
    return {true, note};
}

void TFerroxCore::RequestRefused(const std::string& why) {
    LogError(queue_.StatusLine, "Request from outside refused [" + why + "]");
}

TSaveResult TFerroxCore::SaveQueue() {
    auto saved = std::make_shared<TSaveResult>(TSaveResult::Failed);
    QueueFileWork<TSaveResult>([this] { return queueFile_.SaveNow(); },
                               [saved](TSaveResult result) { *saved = result; });
    order_.Wait();
    return *saved;
}

void TFerroxCore::SaveQueueAs(const std::string& fileName, TSaved saved) {
    QueueFileWork<TSaveResult>([this, fileName] { return queueFile_.SaveAs(fileName); },
                               std::move(saved));
}

void TFerroxCore::LoadQueueFrom(const std::string& fileName, TLoaded loaded) {
    QueueFileWork<TLoadResult>([this, fileName] { return queueFile_.LoadFrom(fileName); },
                               std::move(loaded));
}

void TFerroxCore::ClearStatusLine() {
    queue_.StatusLine.Show("");
}

void TFerroxCore::ReportUnhandledException() {
    AppExceptionOfCurrent(queue_.StatusLine);
}

std::string TFerroxCore::DefaultQueueFile() const {
    return SettingsDir() + "QUEUE.INI";
}

TLineCounts TFerroxCore::CountLines() const {
    TLineCounts counts;
    const TLineList& from = queue_.lstCopyFrom;
    for (PVirtualNode n = from.FirstNode(); n; n = from.NextNode(n)) {
        const int32_t status = n->Data.Status.load();
        if (IsCompletedStatus(status))
            ++counts.Done;
        else if (status == lsFileFailed || status == lsDirFailed)
            ++counts.Failed;
        else
            ++counts.Waiting;
    }
    return counts;
}

} // namespace ferrox
