#include "engine/RunState.h"

namespace ferrox {

bool TRunState::PassPauseGate() {
    if (!PauseEvent.IsSet()) {
        // Told once, by whichever waits first: the run, or an expansion within it.
        Phase.ReachedGate();
        Progress.Run.Active.store(false);
        PauseEvent.Wait();
        Progress.Run.Active.store(true);
    }
    return !Stopping();
}

} // namespace ferrox
