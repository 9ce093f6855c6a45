#pragma once
#include <shared_mutex>

#include "core/FaceSinks.h"
#include "engine/RunEvents.h"
#include "engine/progress/ProgressMonitor.h"

namespace ferrox {

// Stands between the core's parts and the sinks of the face attached now, so a face can
// come and go while the worker and the monitor hold on to the core. The parts are wired
// to it once; Set and Clear change where it leads.
//
// Calls from the worker's, the monitor's and the queue file's threads (status texts,
// progress, run events, tasks for the face's thread) hold a shared lock while the sink
// runs, so Clear returns only when none is running. The face-thread callbacks
// (please-wait, the buttons, closing, the folder dialog) run without it: a face may
// detach from inside them.
class TFaceRelay : public IRunEventSink, public IProgressSink {
public:
    void Set(const TCoreSinks& sinks);
    void Clear() { Set(TCoreSinks{}); }

    void ShowStatus(const std::string& text, TStatusKind kind);
    void Tell(const TRunEvent& event) override;
    void ShowProgress(const TProgressShown& shown) override;

    // From any thread, under the shared lock (it never waits for the face).
    void RunOnFaceThread(std::function<void()> task);
    void PleaseWait(bool shown) const;
    void EnableMainButtons(bool enabled) const;
    void CloseProgram() const;
    std::optional<std::string> Browse(const std::string& caption, const std::string& start) const;

private:
    TCoreSinks Sinks() const;

    mutable std::shared_mutex mutex_;
    TCoreSinks sinks_;
};

} // namespace ferrox
