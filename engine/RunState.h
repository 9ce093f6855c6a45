#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/RunEvents.h"
#include "engine/RunPhase.h"
#include "engine/progress/ProgressChannel.h"
#include "listctl/LinePath.h"
#include "platform/CopyPace.h"
#include "platform/CopyPolicy.h"
#include "platform/DeviceKind.h"
#include "platform/Event.h"

namespace ferrox {

// What a run is asked to do, from the face's options (ferrox-run's flags among them). Set
// on the face's thread; each run takes a copy when it starts.
struct TRunSettings {
    // Moved sources go to the trash (true) or are deleted for good.
    bool DeleteToRecycle = true;
    // What a run wrote is put on the devices before it ends (ferrox-run --no-flush: not).
    bool FlushAtEnd = true;
    // What a copy does with a target that exists; whether it is read back and compared
    // before it takes its name; how many files are copied side by side (0: as each
    // target's device suits).
    TExistingTargets ExistingTargets = TExistingTargets::Overwrite;
    bool VerifyCopies = false;
    int Workers = 0;
};

// Moments of a run where a test can hold the worker while it changes the lists or the
// run state, so that a race is played out in one chosen order instead of by chance.
enum class TRunPoint {
    LineReached,  // the run has its next source line and has read nothing of it yet
    LineTaken,    // the pair is in progress; the copy or the expansion comes next
    EntryReached, // the expansion is about to wait for the pause gate before an entry
    Flushing      // the lines are done; what was written goes to the devices next
};

// What a test may put in the place of the machine's own answers. Set before a run.
struct TRunSeams {
    // What lies under a target directory (a rotating disk cannot be had here).
    std::function<TDeviceKind(const std::string& dir, dev_t& device)> DeviceKindOf =
        static_cast<TDeviceKind (*)(const std::string&, dev_t&)>(ferrox::DeviceKindOf);
    // How a file system is flushed, on a thread of the run's; none: the run's file
    // systems are flushed in a process of their own (SyncFileSystemsApart).
    std::function<int(int fd)> FlushFileSystem = nullptr;
    // Called on the worker's thread at each point; none in the program.
    std::function<void(TRunPoint, const std::string& path)> OnRunPoint;
};

class TRunState;

// What holds a run's copies between their chunks: the pause gate, which stops each file in
// flight where it is, and the speed cap shared by all of them.
class TRunPace : public ICopyPace {
public:
    explicit TRunPace(TRunState& run) : run_(run) {}
    int64_t ChunkLimit() const override;
    void Passed(int64_t bytes, const std::atomic<bool>* cancel) override;

private:
    TRunState& run_;
};

// What the runs of one core share with its faces and its monitor: the settings for the
// next run, the signals between the face's thread and the run's (the phase, the pause
// gate, the abort), the progress the copies report, where the run's events go, and the
// test seams.
class TRunState : public IRunEventSink {
public:
    TRunState()
        : Phase([this](const TRunPhaseView& now) {
              TRunEvent changed{TRunEvent::PhaseChanged};
              changed.Phase = now;
              Tell(changed);
          }) {}
    TRunState(const TRunState&) = delete;
    TRunState& operator=(const TRunState&) = delete;

    TRunSettings Settings;

    // --- Signals between the threads ------------------------------------------------
    // A run is going on (set when it starts, cleared by the run at its very end); the run
    // takes the selected lines only.
    std::atomic<bool> CopyRunning{false};
    std::atomic<bool> CopyThisLineOnly{false};
    // Abort asked. The copies read it between chunks.
    std::atomic<bool> AbortAsked{false};
    // The worker has been asked to end (shutdown): it stops at its next check, without
    // breaking off the file in progress as an abort does.
    std::atomic<bool> Terminated{false};
    // Set: the run may go on. Reset by Pause; the run waits at it (PassPauseGate), and so
    // does every file in flight, between two chunks (Pace).
    TEvent PauseEvent{true};
    // The cap on the bytes a second of all the copies together (0: none). Not a setting
    // taken at the start: a face may change it while a run goes on.
    TRateLimit SpeedLimit;
    // What the run's copies pass between their chunks.
    TRunPace Pace{*this};
    // Where the run stands. The run control's verbs change it; the run reports through
    // it the gate it waits at and its end.
    TRunPhaseMachine Phase;

    bool Stopping() const { return AbortAsked.load() || Terminated.load(); }
    // The pause gate, before each line and each directory entry: while it is closed the
    // run waits there (the phase says Paused, and the time is no copying time). False when
    // the run is to stop.
    bool PassPauseGate();

    // --- What the runs produce ------------------------------------------------------
    // The copies' progress reports, on their way to the progress monitor, and the run's
    // figures.
    TProgressChannel Progress;
    // Marks the lines a run has counted, so one added by the user during it is counted
    // when the run takes it; one number per run.
    std::atomic<uint32_t> RunNumber{0};

    // Where the run's events go (none: nowhere). Set before a run starts; the sink must
    // outlive every run that may tell it something.
    void SetEvents(IRunEventSink* events) { events_.store(events, std::memory_order_release); }
    void Tell(const TRunEvent& event) override {
        if (IRunEventSink* events = events_.load(std::memory_order_acquire))
            events->Tell(event);
    }

    TRunSeams Seams;
    void Reached(TRunPoint point, const std::string& path) const {
        if (Seams.OnRunPoint)
            Seams.OnRunPoint(point, path);
    }
    // A line's path is spelt out only when a seam listens: this is on every line's way.
    void Reached(TRunPoint point, const TLinePath& path) const {
        if (Seams.OnRunPoint)
            Seams.OnRunPoint(point, path.Str());
    }

private:
    std::atomic<IRunEventSink*> events_{nullptr};
};

} // namespace ferrox
