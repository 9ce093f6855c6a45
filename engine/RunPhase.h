#pragma once
#include <functional>
#include <initializer_list>
#include <mutex>

namespace ferrox {

// Where a copy run stands. The run control owns it and changes it by its verbs (the
// worker reports through it what it has reached); every change is told, and the faces
// choose their words (the buttons' captions among them) from it.
enum class TRunPhase {
    Idle,     // no run
    Running,  // the run takes its lines
    Pausing,  // Pause was asked: the run and its files in flight stop where they are
    Paused,   // the run waits at the pause gate
    Aborting, // Abort was asked: the file in progress stops at its next chunk
    Ending,   // every line is taken: the run writes what it holds to the disk and ends
};

// The phase as a face shows it: with Held, the user's Pause stands (Pausing, Paused, or
// aborted or ending from either): the buttons keep offering Resume until the run is idle.
struct TRunPhaseView {
    TRunPhase Phase = TRunPhase::Idle;
    bool Held = false;
    bool operator==(const TRunPhaseView&) const = default;
};

class TRunPhaseMachine {
public:
    // Called after every change with the new phase, outside the lock, on the thread that
    // made it.
    explicit TRunPhaseMachine(std::function<void(const TRunPhaseView&)> changed = {})
        : changed_(std::move(changed)) {}

    TRunPhaseView View() const;
    TRunPhase Phase() const { return View().Phase; }

    // The verbs; each is true when it changed the phase, false when the phase does not
    // take it (and nothing changed).
    bool Start();       // Idle -> Running
    bool Pause();       // Running -> Pausing
    bool Resume();      // Pausing, Paused -> Running
    bool Abort();       // any but Idle -> Aborting
    bool ReachedGate(); // Pausing -> Paused: the run waits for Resume
    bool Ending();      // Running, Pausing, Paused -> Ending: the lines are all taken
    void Ended();       // any -> Idle

private:
    enum class THeld { Clear, Set, Keep };
    bool Move(std::initializer_list<TRunPhase> from, TRunPhase to, THeld held);

    mutable std::mutex mutex_;
    TRunPhaseView view_;
    std::function<void(const TRunPhaseView&)> changed_;
};

} // namespace ferrox
