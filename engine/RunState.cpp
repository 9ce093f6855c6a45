#include "engine/RunState.h"

namespace ferrox {

bool TRunState::PassPauseGate() {
    if (!PauseEvent.IsSet()) {
        // Told once, by whichever waits first: the run, an expansion within it or a file
        // in flight; the time stops before the face hears it.
        Progress.Run.Active.store(false);
        Phase.ReachedGate();
        PauseEvent.Wait();
        Progress.Run.Active.store(true);
    }
    return !Stopping();
}

int64_t TRunPace::ChunkLimit() const {
    return run_.SpeedLimit.ChunkLimit();
}

void TRunPace::Passed(int64_t bytes, const std::atomic<bool>* cancel) {
    run_.SpeedLimit.Take(bytes, cancel);
    // Paused: the file waits here, its unnamed file open, and goes on from here.
    if (!run_.PauseEvent.IsSet())
        run_.PassPauseGate();
}

} // namespace ferrox
