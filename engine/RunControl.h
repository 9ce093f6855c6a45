#pragma once
#include <memory>

#include "engine/CopyNowThread.h"
#include "engine/RunState.h"
#include "queue/CopyQueue.h"

namespace ferrox {

// What the two run buttons and "Copy this Line Now" do, decided by the run's phase. Runs
// on the window's thread and never waits for a running run; the only wait is for a
// finished worker at the next start and at shutdown.
class TRunControl {
public:
    TRunControl(TCopyQueue& queue, TRunState& run) : queue_(queue), run_(run) {}
    ~TRunControl() { ReleaseWorker(); }
    TRunControl(const TRunControl&) = delete;
    TRunControl& operator=(const TRunControl&) = delete;

    // Starts a run when none goes on; pauses a running one; resumes a paused one (the
    // Copy NOW button). Nothing while the run is aborting or ending.
    void StartPauseResume();
    // Aborts the run going on (the Close button's "&Abort"), decided by the phase seen now;
    // false when none was going on (the Close button then saves the queue and closes).
    bool Abort();
    // Starts a run over the selected source lines; nothing while a run is going on.
    void CopySelectedLinesNow();
    // Asks the current worker to end as Abort does, and wakes it; does not wait.
    void AskWorkerToEnd();
    // Ends the current worker as AskWorkerToEnd does and waits for it (shutdown).
    void ReleaseWorker();

    TRunPhase Phase() const { return run_.Phase.Phase(); }
    TCopyNOWThread* CopyWorker() const { return CopyWorker_.get(); }

private:
    void Start();

    TCopyQueue& queue_;
    TRunState& run_;
    std::unique_ptr<TCopyNOWThread> CopyWorker_;
};

} // namespace ferrox
