#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/RunWords.h"
#include "diag/StatusLine.h"
#include "engine/RunEvents.h"
#include "engine/RunFigures.h"
#include "engine/progress/ProgressMonitor.h"

namespace ferrox {

// Everything a face (the window, ferrox-run) implements to show what its core does and to
// answer what it asks. Unless said otherwise a call may come from the copy worker's or
// the progress monitor's thread: an implementation takes the values, hands them to its
// own thread and returns without waiting for it. Once the core's DetachSinks has
// returned, no call into them is running or will come.

// The status line: every text of the core's parts, in order (a run's words come with its
// events, below).
class IStatusLine {
public:
    virtual ~IStatusLine() = default;
    // kind tells a failure the error log keeps from an ordinary text.
    virtual void SetStatusText(const std::string& text, TStatusKind kind) = 0;
};

// What a run tells and how far it is, as values a face words and shows for itself.
class IRunEvents {
public:
    virtual ~IRunEvents() = default;
    // An event of the run (engine/RunEvents.h), with its words for the status line: a
    // log line only when it was written to the error log. `event.Line` is the source line
    // it is about, the handle a view keeps for its row. PhaseChanged also comes on the
    // face's own thread, by its clicks.
    virtual void RunEvent(const TRunEvent& /*event*/, const TEventWords& /*words*/) {}
    // How far the file the gauge follows has got, and its transfer rate (the progress
    // monitor's thread); either may be absent.
    virtual void FileProgress(const std::optional<TFileProgress>& /*file*/,
                              const std::optional<TTransferRate>& /*rate*/) {}
    // The whole run's figures, a few times a second while a run goes on (the progress
    // monitor's thread).
    virtual void RunProgress(const TRunFigures& /*figures*/) {}
};

// The please-wait box around a long queue save or load; called on the face's thread.
class IPleaseWait {
public:
    virtual ~IPleaseWait() = default;
    virtual void ShowPleaseWait() = 0;
    virtual void HidePleaseWait() = 0;
};

// The folder dialog, on the face's thread: shown with a caption, starting at a folder
// ("" when none is offered); the chosen folder, or none when the user cancelled.
using TBrowseDialog = std::function<std::optional<std::string>(const std::string& caption,
                                                               const std::string& startFolder)>;

// What a face attaches to its core. Every member may be empty.
struct TCoreSinks {
    IStatusLine* StatusLine = nullptr;
    IRunEvents* RunEvents = nullptr;
    IPleaseWait* PleaseWait = nullptr;
    // From any thread: hands the task to the face's own thread, to run there soon, and
    // returns without waiting for it. None: the face has no event loop, and waits for the
    // queue file's work itself.
    std::function<void(std::function<void()>)> RunOnFaceThread;
    // On the face's thread: the run buttons' enabled state while Close works; closing
    // the program afterwards.
    std::function<void(bool)> EnableMainButtons;
    std::function<void()> CloseProgram;
    TBrowseDialog BrowseDialog;
};

} // namespace ferrox
