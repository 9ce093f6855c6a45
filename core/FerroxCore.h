#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/CommandOrder.h"
#include "core/FaceRelay.h"
#include "core/FaceSinks.h"
#include "core/ListCommands.h"
#include "core/RunButtons.h"
#include "core/instance/QueueRequest.h"
#include "engine/RunControl.h"
#include "engine/RunState.h"
#include "engine/progress/ProgressMonitor.h"
#include "persist/Options.h"
#include "persist/QueueFile.h"
#include "queue/CopyQueue.h"

namespace ferrox {

inline constexpr const char* MsgCannotSetDestinationRunning =
    "You cannot set a destination while the copy is running";
inline constexpr const char* MsgNoLineWithoutDestination =
    "No source line is waiting without a destination, nothing was given the folder ";
inline constexpr const char* MsgDestinationsWithoutSourceRemoved =
    "Destination lines without a source line were removed, the new lines have no destination ";

// How many source lines are where, counted when asked.
struct TLineCounts {
    long Done = 0;
    long Failed = 0;
    long Waiting = 0; // waiting or in progress
};

// A load that did not load in the status line's words, as the load showed them ("" for
// one that loaded).
std::string LoadFailureText(const TLoadFailure& failure);

// The core a face drives: the queue, the run and its control, the queue file, the options
// and the progress monitor, brought up and down in one fixed order. The window and
// ferrox-run each create one, attach their sinks (core/FaceSinks.h) and call its verbs;
// what they show comes back through the sinks and the views below. Verbs run on the
// face's thread. Those that change the queue take their turn (TCommandOrder): at once when
// nothing else is under way, else after the queue file's work and the commands before them.
class TFerroxCore {
public:
    // queueFileName: the default queue file; empty: QUEUE.INI in the program's directory.
    explicit TFerroxCore(std::string queueFileName = {});
    ~TFerroxCore();
    TFerroxCore(const TFerroxCore&) = delete;
    TFerroxCore& operator=(const TFerroxCore&) = delete;

    // --- Up and down ---------------------------------------------------------------------
    // Where the core's texts, progress and events go from now on, and what it asks the face.
    void Attach(const TCoreSinks& sinks);
    // Detaches every sink; when this returns no thread is still inside one of them.
    void DetachSinks();
    // Start-up: flags cleared, program directory, pause gate open, queue file named,
    // options read, the monitor started, the queue loaded, and last the options' values
    // that meant nothing told (the last word of start-up, so the window shows it). An
    // exception leaves the later steps undone. Returns when the queue is loaded (the face
    // has nothing to show before), with what the load found; the please-wait box, when the
    // load must wait for a Ferrox that is ending, is shown from this thread meanwhile.
    TLoadResult Start();
    // What the load at Start came to, with the file and why (for a face that words it).
    const TLoadFailure& StartLoad() const { return startLoad_; }
    // Shutdown: the commands still waiting dropped, a save or load under way waited for,
    // the worker woken, asked to end and waited for (none of them waits for the face
    // meanwhile), the monitor stopped and joined. Safe twice; the destructor calls it.
    void Shutdown();
    // The face is closing for good and saves nothing more: a run going on is aborted
    // (its file in flight abandoned as Abort abandons it), the commands still waiting are
    // dropped (a save under way ends, without its callback), and the queue file stays
    // held only so that a Ferrox starting meanwhile waits for this one's end.
    void Closing();
    // True when no run is going on any more, waiting for it at most `wait`. A device
    // that is slow to take what is in flight can hold a file's last step in the kernel
    // longer than a closing program should stay: the face may then end without Shutdown,
    // since an aborted copy leaves nothing half-written under a target's name.
    bool RunEndedWithin(std::chrono::milliseconds wait);

    // --- The run -------------------------------------------------------------------------
    // Starts a run; during one, pauses it; when paused, resumes it (the Copy NOW button).
    void StartPauseResume();
    // Aborts the run at once; when none runs, saves the queue in turn (forced, with the
    // please-wait box, the main buttons off meanwhile) and then asks the face to close (the
    // Close button).
    void AbortOrClose();
    // A run over the selected source lines only; nothing while a run goes on.
    void CopySelectedLinesNow();
    // Whether a run waits at its end until what it wrote is on the devices (default: yes).
    void SetFlushAtEnd(bool flush) { run_.Settings.FlushAtEnd = flush; }
    // Before Start: what the face decides instead of the options file (ferrox-run's flags).
    void OverrideOptions(const TOptionOverrides& overrides) { overrides_ = overrides; }
    // The cap on the bytes a second of all the files in flight together (0: none), from
    // now on, also during a run: the copies follow it within a fraction of a second. For
    // this core's life; QOPTIONS.INI's SpeedLimit is where it starts.
    void SetSpeedLimit(int64_t bytesPerSecond) { run_.SpeedLimit.SetRate(bytesPerSecond); }
    // Stops the file in progress at its next chunk, as Abort does. Async-signal-safe: for
    // a signal handler, which then lets the face call AbortOrClose.
    void AbortFromSignal() noexcept;

    // --- Filling and editing the queue ----------------------------------------------------
    // The files a file dialog returned, in its order; none when it was cancelled.
    void AddFiles(const std::optional<std::vector<std::string>>& files);
    // Asks the folder dialog for a source directory, or for the destination of every
    // source line that has none.
    void AddSourceFolder();
    void AddDestinationFolder();
    // Files and folders dropped (or pasted) on a list, as byte paths in their order, and
    // the URLs of it that name no local file (the status line names them).
    void DropOnSources(const std::vector<std::string>& paths,
                       const std::vector<std::string>& notLocal = {});
    void DropOnDestinations(const std::vector<std::string>& paths,
                            const std::vector<std::string>& notLocal = {});
    // The popup commands, on the selected lines.
    void DeleteFullLines();
    void DeleteSourceLines();
    void ResetCopyStatus();
    void ClearSources();
    void MarkMove(bool move);
    // A source line's Move box ticked (true) or cleared.
    void MarkLineMove(const PVirtualNode& line, bool move);
    void ClearCompleted();
    void DeleteDestinationLines();
    void ClearDestinations();

    // A command of the face's own that changes the queue (a request from outside, with its
    // answer), run in turn. The request verbs below run inside it; a verb that takes its
    // own turn comes after it.
    void RunInTurn(std::function<void()> command);

    // --- Requests from outside (a `ferrox PATH...` command) ------------------------------
    // Not ordered themselves: a face calls them inside RunInTurn.
    // Queues what the request asks, whole and apart from every other line: its paths as
    // a drop on the source list makes them (marked Move when asked), each paired with a
    // line of its own destination or with none (TCopyQueue::AddOwnLines); a destination
    // alone goes to the source lines without one, and to nothing else. Then a run starts
    // as Copy NOW starts one when none is going on. Refused whole, with the reason on the
    // status line, when it brings a destination during a run, one that is no folder (any
    // more), or a path the queue file cannot keep. A note for the caller when it added
    // no line, or took lines away (also on the status line).
    TQueueAnswer QueueFromOutside(const TQueueRequest& request);
    // A request that never arrived whole or may not be heard (cut short, garbled, too
    // large, from another user): logged. Its caller has been told.
    void RequestRefused(const std::string& why);

    // --- The queue file ------------------------------------------------------------------
    // The long work runs on the queue file's thread; what it found reaches the callback on
    // the face's thread, after the please-wait box is hidden.
    using TSaved = std::function<void(TSaveResult)>;
    using TLoaded = std::function<void(TLoadResult)>;
    // Saves the queue into its file, whatever its size, and returns when it is saved: for a
    // face without an event loop (ferrox-run), not inside a command.
    TSaveResult SaveQueue();
    // Saves into, or loads from, a file the user chose, in turn, with the please-wait box;
    // the file becomes the queue file.
    void SaveQueueAs(const std::string& fileName, TSaved saved = {});
    void LoadQueueFrom(const std::string& fileName, TLoaded loaded = {});
    // Returns when the queue file's work under way is done, and the commands that waited
    // for it: for a face without RunOnFaceThread (ferrox-run, tests).
    void WaitForQueueFile() { order_.Wait(); }
    // Empties the status line.
    void ClearStatusLine();
    // The face's handler of last resort, inside its catch block: the exception goes to the
    // error log with the trace, and the program goes on.
    void ReportUnhandledException();

    // --- Views ---------------------------------------------------------------------------
    // The lines themselves, for the list views (which keep the handles of their rows).
    TLineList& SourceList() { return queue_.lstCopyFrom; }
    TLineList& DestinationList() { return queue_.lstCopyTo; }
    TRunPhaseView Phase() const { return run_.Phase.View(); }
    TButtonText CopyNowButton() const { return CopyNowButtonFor(Phase()); }
    TButtonText CloseButton() const { return CloseButtonFor(Phase()); }
    bool Running() const { return run_.CopyRunning.load(); }
    std::string QueueFileName() const { return queueFile_.Name(); }
    // The queue file the queue dialog proposes: the default one.
    std::string DefaultQueueFile() const;
    const TOptions& Options() const { return options_; }
    // The cap in force, bytes a second (0: none); any thread may ask.
    int64_t SpeedLimit() const { return run_.SpeedLimit.Rate(); }
    TLineCounts CountLines() const;
    // Bytes of the files copied completely since the core was made.
    int64_t BytesCopied() const { return run_.Progress.TotalBytesCopied.load(); }
    // Files of the last run whose target was kept as the policy said.
    long FilesSkipped() const { return run_.Progress.Run.LinesSkipped.load(); }
    // Lines of the last run that its abort stopped in the middle of their copy.
    long LinesInterrupted() const { return run_.Progress.Run.LinesInterrupted.load(); }

    // Tests reach the parts through this; no face does.
    struct TParts {
        TCopyQueue& Queue;
        TRunState& Run;
        TRunControl& Control;
        TQueueFile& QueueFile;
        TListCommands& Commands;
        TProgressMonitor& Monitor;
    };
    TParts PartsForTesting() { return {queue_, run_, control_, queueFile_, commands_, monitor_}; }

private:
    // A command that saves or loads the whole queue on the queue file's thread.
    template <class TResult>
    void QueueFileWork(std::function<TResult()> work, std::function<void(TResult)> done);

    std::string defaultQueueFile_;
    TFaceRelay relay_;
    TCopyQueue queue_;
    TRunState run_;
    TRunControl control_{queue_, run_};
    TQueueFile queueFile_{queue_, run_.CopyRunning};
    TListCommands commands_{queue_, run_, control_};
    TOptionOverrides overrides_;
    TOptions options_;
    TLoadFailure startLoad_; // written by Start before it returns
    TProgressMonitor monitor_{run_.Progress, relay_, relay_};
    // Last, so it goes first: its work uses the parts above.
    TCommandOrder order_{relay_};
    bool shutDown_ = false;
};

} // namespace ferrox
