#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "diag/StatusLine.h"
#include "engine/RunFigures.h"
#include "listctl/VirtualTree.h"

namespace ferrox {

// Everything a face (the window, ferrox-run) implements to show what its core does and to
// answer what it asks. Unless said otherwise a call may come from the copy worker's or
// the progress monitor's thread: an implementation takes the values, hands them to its
// own thread and returns without waiting for it. Once the core's DetachSinks has
// returned, no call into them is running or will come.

// The status line: every text, in order.
class IStatusLine {
public:
    virtual ~IStatusLine() = default;
    // kind tells a failure the error log keeps from an ordinary text, and marks failures
    // that a run event tells as well (a face that prints those events shows them once).
    virtual void SetStatusText(const std::string& text, TStatusKind kind) = 0;
};

// The progress gauge of the current file.
class IGauge {
public:
    virtual ~IGauge() = default;
    virtual void SetMaxValue(int32_t value) = 0;
    virtual void SetProgress(int32_t value) = 0;
    virtual int32_t MinValue() const = 0;
    virtual void SetText(const std::string& text) = 0;
};

// The status bar's rate panel.
class IRatePanel {
public:
    virtual ~IRatePanel() = default;
    virtual void SetRateText(const std::string& text) = 0;
};

// What a run tells, as kinds rather than text. `line` is the source line the event is
// about, the handle a view keeps for its row; `source` its path.
class IRunEvents {
public:
    virtual ~IRunEvents() = default;
    virtual void FileStarted(const PVirtualNode& /*line*/, const std::string& /*source*/) {}
    // errorCode 0 when the file is done, else errno or a TFerroxError.
    virtual void FileFinished(const PVirtualNode& /*line*/, const std::string& /*source*/,
                              int /*errorCode*/) {}
    // A Move line was copied but its source stayed (errorCode says why).
    virtual void SourceNotRemoved(const PVirtualNode& /*line*/, const std::string& /*source*/,
                                  int /*errorCode*/) {}
    // A source line failed; `where` is the path the error is about (the source, or a
    // destination directory: one a directory line could not make, or a file line's folder
    // that is not there).
    virtual void LineFailed(const PVirtualNode& /*line*/, const std::string& /*source*/,
                            int /*errorCode*/, const std::string& /*where*/) {}
    // An abort stopped a file line's copy part-way: nothing of it stays, `written` of its
    // `size` bytes had been written. The line shows as failed, but this is no failure.
    virtual void LineInterrupted(const PVirtualNode& /*line*/, const std::string& /*source*/,
                                 int64_t /*written*/, int64_t /*size*/) {}
    // The run is over and idle again: a new run may start now.
    virtual void RunEnded(bool /*aborted*/) {}
    // The run's phase changed (read it from the core). Also called on the face's own
    // thread, by its clicks.
    virtual void PhaseChanged() {}
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
    IGauge* Gauge = nullptr;
    IRatePanel* RatePanel = nullptr;
    IRunEvents* RunEvents = nullptr;
    IPleaseWait* PleaseWait = nullptr;
    // On the face's thread: lets it handle what is waiting during a long operation.
    std::function<void()> ProcessEvents;
    // On the face's thread: the run buttons' enabled state while Close works; closing
    // the program afterwards.
    std::function<void(bool)> EnableMainButtons;
    std::function<void()> CloseProgram;
    TBrowseDialog BrowseDialog;
};

} // namespace ferrox
