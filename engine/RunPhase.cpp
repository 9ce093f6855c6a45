#include "engine/RunPhase.h"

#include <algorithm>

namespace ferrox {

TRunPhaseView TRunPhaseMachine::View() const {
    std::lock_guard lock(mutex_);
    return view_;
}

bool TRunPhaseMachine::Move(std::initializer_list<TRunPhase> from, TRunPhase to, THeld held) {
    TRunPhaseView now;
    {
        std::lock_guard lock(mutex_);
        if (std::find(from.begin(), from.end(), view_.Phase) == from.end())
            return false;
        view_.Phase = to;
        if (held != THeld::Keep)
            view_.Held = held == THeld::Set;
        now = view_;
    }
    if (changed_)
        changed_(now);
    return true;
}

bool TRunPhaseMachine::Start() {
    return Move({TRunPhase::Idle}, TRunPhase::Running, THeld::Clear);
}

bool TRunPhaseMachine::Pause() {
    return Move({TRunPhase::Running}, TRunPhase::Pausing, THeld::Set);
}

bool TRunPhaseMachine::Resume() {
    return Move({TRunPhase::Pausing, TRunPhase::Paused}, TRunPhase::Running, THeld::Clear);
}

bool TRunPhaseMachine::Abort() {
    return Move({TRunPhase::Running, TRunPhase::Pausing, TRunPhase::Paused, TRunPhase::Ending},
                TRunPhase::Aborting, THeld::Keep);
}

bool TRunPhaseMachine::ReachedGate() {
    return Move({TRunPhase::Pausing}, TRunPhase::Paused, THeld::Set);
}

bool TRunPhaseMachine::Ending() {
    return Move({TRunPhase::Running, TRunPhase::Pausing, TRunPhase::Paused}, TRunPhase::Ending,
                THeld::Keep);
}

void TRunPhaseMachine::Ended() {
    Move({TRunPhase::Running, TRunPhase::Pausing, TRunPhase::Paused, TRunPhase::Aborting,
          TRunPhase::Ending},
         TRunPhase::Idle, THeld::Clear);
}

} // namespace ferrox
