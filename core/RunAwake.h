#pragma once
#include "engine/RunPhase.h"

namespace ferrox {

// Whether a run in this phase keeps the system from suspending: while it copies, while the
// files in flight end after a Pause or an Abort, and while it writes to the disk at its end.
// A paused run waits for the user, who may well want to suspend meanwhile.
inline bool RunKeepsSystemAwake(TRunPhase phase) {
    return phase != TRunPhase::Idle && phase != TRunPhase::Paused;
}

// The reason the system's inhibitor list shows.
inline constexpr const char* KeepAwakeReason = "Copying files";

} // namespace ferrox
