#include "engine/RunControl.h"

#include "diag/Trace.h"

namespace ferrox {

void TRunControl::btnCopyNowClick() {
    TTraceScope trace("btnCopyNowClick");
    const std::string caption = run_.btnCopyNow().Caption;
    if (caption == RunTexts::CopyNowIdle.Caption) {
        if (run_.CopyRunning.load())
            return; // the last run is still in its final steps
        run_.CopyRunning.store(true);
        run_.SetCopyNow(RunTexts::CopyNowRunning);
        run_.SetClose(RunTexts::CloseRunning);
        run_.PauseEvent.Set();
        try {
            if (CopyWorker_) {
                CopyWorker_->Terminate();
                if (ProcessEvents)
                    ProcessEvents();
                CopyWorker_.reset(); // waits for its thread
            }
        } catch (...) {
        }
        run_.Terminated.store(false);
        CopyWorker_ = std::make_unique<TCopyNOWThread>(queue_, run_);
        CopyWorker_->Start();
    } else if (caption == RunTexts::CopyNowRunning.Caption) {
        run_.SetCopyNow(RunTexts::CopyNowPaused);
        run_.PauseEvent.Reset();
    } else {
        run_.SetCopyNow(RunTexts::CopyNowRunning);
        run_.PauseEvent.Set();
    }
}

void TRunControl::btnCloseClick() {
    // Popped also when the save throws: the buttons come back in any case.
    Trace("btnCloseClick");
    struct TEnd {
        TRunControl& self;
        ~TEnd() {
            if (self.EnableMainButtons)
                self.EnableMainButtons(true);
            Trace({});
        }
    } end{*this};
    if (EnableMainButtons)
        EnableMainButtons(false);
    // Decided by what the button said when it was clicked: a run ending this very moment
    // clears the abort flag, and a click meant as Abort must not end the program.
    const bool abort = run_.btnClose().Caption == RunTexts::CloseRunning.Caption;
    if (abort)
        run_.AbortFlag.store(-1);
    run_.PauseEvent.Set();
    if (!abort) {
        if (SaveQueueOnClose)
            SaveQueueOnClose();
        if (CloseProgram)
            CloseProgram();
    }
}

void TRunControl::mnupopFromCopythisLineClick() {
    if (run_.CopyRunning.load())
        return;
    TTraceScope trace("mnupopFromCopythisLineClick");
    run_.CopyThisLineOnly.store(true);
    btnCopyNowClick();
}

void TRunControl::ReleaseWorker() {
    if (!CopyWorker_)
        return;
    run_.PauseEvent.Set();
    CopyWorker_->Terminate();
    if (ProcessEvents)
        ProcessEvents();
    CopyWorker_.reset();
}

} // namespace ferrox
