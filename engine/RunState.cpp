#include "engine/RunState.h"

namespace ferrox {

bool TRunState::PassPauseGate(TStatusLine& status) {
    if (!PauseEvent.IsSet()) {
        // Told once, by whichever waits first: the run, or an expansion within it.
        if (Phase.ReachedGate())
            status.Show("Copy currently Paused.");
        Progress.Run.Active.store(false);
        PauseEvent.Wait();
        Progress.Run.Active.store(true);
    }
    return !Stopping();
}

} // namespace ferrox
