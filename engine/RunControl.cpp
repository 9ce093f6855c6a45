#include "engine/RunControl.h"

#include "diag/Trace.h"

#include <exception>
#include <string>

namespace ferrox {

void TRunControl::Start() {
    if (run_.CopyRunning.load())
        return; // the last run is still in its final steps
    // The old worker goes first: nothing it still does may change the new run's phase. It
    // has ended its run already; what its release throws stops nothing.
    try {
        if (CopyWorker_) {
            CopyWorker_->Terminate();
            CopyWorker_.reset(); // waits for its thread, which never waits for the face
        }
    } catch (const std::exception& e) {
        TRunEvent failed{TRunEvent::Exception};
        failed.Text = e.what();
        failed.InRun = false;
        run_.Tell(failed);
    }
    // An Abort clicked as the last run ended may have set the flag after that run
    // cleared it; it was meant for that run, not for this one.
    run_.AbortAsked.store(false);
    run_.Terminated.store(false);
    run_.CopyRunning.store(true);
    run_.PauseEvent.Set();
    run_.Phase.Start();
    CopyWorker_ = std::make_unique<TCopyNOWThread>(queue_, run_);
    CopyWorker_->Start();
}

void TRunControl::StartPauseResume() {
    TTraceScope trace("btnCopyNowClick");
    switch (run_.Phase.Phase()) {
    case TRunPhase::Idle:
        Start();
        break;
    case TRunPhase::Running:
        // The phase first: a run that finds the gate shut then finds Pausing, and says it
        // is paused. One that ended meanwhile is not paused.
        if (run_.Phase.Pause())
            run_.PauseEvent.Reset();
        break;
    case TRunPhase::Pausing:
    case TRunPhase::Paused:
        run_.Phase.Resume();
        run_.PauseEvent.Set();
        break;
    case TRunPhase::Aborting:
    case TRunPhase::Ending:
        break; // nothing left to pause or resume
    }
}

bool TRunControl::Abort() {
    // Decided by the phase seen at the click: a run ending this very moment clears the
    // abort flag, and a click meant as Abort must not end the program.
    const bool abort = run_.Phase.Phase() != TRunPhase::Idle;
    if (abort) {
        run_.AbortAsked.store(true);
        run_.Phase.Abort();
    }
    run_.PauseEvent.Set();
    return abort;
}

void TRunControl::CopySelectedLinesNow() {
    if (run_.CopyRunning.load())
        return;
    TTraceScope trace("mnupopFromCopythisLineClick");
    run_.CopyThisLineOnly.store(true);
    StartPauseResume();
}

void TRunControl::AskWorkerToEnd() {
    if (!CopyWorker_)
        return;
    // A run still going ends as Abort ends it: the file in progress stops at its next
    // chunk (no partial target, an old one intact), so closing never waits for a large
    // file. Asked to end before the pause gate opens: a paused worker woken first would
    // take its next line before it saw the request.
    if (!CopyWorker_->Finished()) {
        run_.AbortAsked.store(true);
        run_.Phase.Abort();
    }
    CopyWorker_->Terminate();
    run_.PauseEvent.Set();
}

void TRunControl::ReleaseWorker() {
    if (!CopyWorker_)
        return;
    AskWorkerToEnd();
    CopyWorker_.reset();
}

} // namespace ferrox
