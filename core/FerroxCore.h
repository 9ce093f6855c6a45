#pragma once
#include <atomic>
#include <functional>
#include <shared_mutex>
#include <string>

#include "core/ListCommands.h"
#include "diag/StatusLine.h"
#include "engine/RunControl.h"
#include "engine/RunEvents.h"
#include "engine/RunState.h"
#include "engine/modRXThread/ProgressMonitor.h"
#include "persist/Options.h"
#include "persist/QueueFile.h"
#include "queue/CopyQueue.h"

namespace ferrox {

// What a face shows and does for the core. Every pointer may be null; the sinks are
// called from the worker's or the monitor's thread and must hand over without waiting.
struct TCoreSinks {
    IStatusLine* StatusLine = nullptr;
    IGauge* Gauge = nullptr;
    IRatePanel* RatePanel = nullptr;
    IRunEvents* RunEvents = nullptr;
    IPleaseWait* PleaseWait = nullptr;
    // Runs on the face's thread: lets it handle what is waiting during a long operation.
    std::function<void()> ProcessEvents;
    // The run buttons' enabled state while Close works; closing the program afterwards.
    std::function<void(bool)> EnableMainButtons;
    std::function<void()> CloseProgram;
    // The face's folder dialog for the "Select Dir" commands.
    TBrowseDialog BrowseDialog;
};

// The core a face drives: the queue, the run state and its control, the queue file, the
// options and the progress monitor, brought up and down in one fixed order. The window
// and ferrox-run each create one and attach their sinks; neither wires the parts itself.
class TFerroxCore {
public:
    // queueFileName: the default queue file; empty: QUEUE.INI in the program's directory.
    explicit TFerroxCore(std::string queueFileName = {});
    ~TFerroxCore();
    TFerroxCore(const TFerroxCore&) = delete;
    TFerroxCore& operator=(const TFerroxCore&) = delete;

    // Before Start. The status line is process-wide; it is detached again at shutdown.
    void Attach(const TCoreSinks& sinks);
    // Detaches every sink; when this returns no thread is still inside one of them.
    void DetachSinks();

    // Start-up: flags cleared, program directory, pause gate open, queue file named,
    // options read, progress records emptied, the monitor started, the queue loaded.
    // An exception leaves the later steps undone. What the queue's load found.
    TLoadResult Start();
    // Shutdown: the worker woken, asked to end and waited for (it never waits for the
    // face meanwhile), the monitor stopped and joined, pending progress records dropped.
    // Safe to call twice; the destructor calls it.
    void Shutdown();

    TCopyQueue Queue;
    TRunState Run;
    TRunControl Control{Queue, Run};
    TQueueFile QueueFile{Queue, Run.CopyRunning};
    // What a face's buttons, drops and popup menus do to the lists.
    TListCommands Commands{Queue, Run, Control};

    TProgressMonitor& Monitor() { return monitor_; }
    // The switches read from the options file at start-up.
    const TOptions& Options() const { return options_; }

private:
    // Stand between the monitor or the run and a face's sink, so a face can come and go
    // while those threads hold on to the core.
    class TGaugeRelay : public IGauge {
    public:
        void Set(IGauge* target);
        void SetMaxValue(int32_t value) override;
        void SetProgress(int32_t value) override;
        int32_t MinValue() const override;
        void SetText(const std::string& text) override;

    private:
        mutable std::shared_mutex mutex_;
        IGauge* target_ = nullptr;
    };
    class TRatePanelRelay : public IRatePanel {
    public:
        void Set(IRatePanel* target);
        void SetRateText(const std::string& text) override;

    private:
        std::shared_mutex mutex_;
        IRatePanel* target_ = nullptr;
    };
    class TRunEventsRelay : public IRunEvents {
    public:
        void Set(IRunEvents* target);
        void FileStarted(const std::string& source) override;
        void FileFinished(const std::string& source, int errorCode) override;
        void SourceNotRemoved(const std::string& source, int errorCode) override;
        void LineFailed(const std::string& source, int errorCode,
                        const std::string& where) override;
        void RunEnded(bool aborted) override;
        void ButtonsChanged() override;

    private:
        std::shared_mutex mutex_;
        IRunEvents* target_ = nullptr;
    };

    std::string defaultQueueFile_;
    TGaugeRelay gauge_;
    TRatePanelRelay ratePanel_;
    TRunEventsRelay runEvents_;
    bool statusAttached_ = false;
    bool shutDown_ = false;
    TOptions options_;
    TProgressMonitor monitor_{Run.Progress, gauge_, ratePanel_};
};

} // namespace ferrox
