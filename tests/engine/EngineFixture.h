#pragma once
#include "diag/ErrorLog.h"
#include "diag/Trace.h"
#include "engine/LineCopy.h"
#include "engine/RunControl.h"
#include "support/ListHelpers.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace ferrox::test {

// Every event of the runs, in order, as text; the button states told, apart; and a wait
// for the end of a run that is woken by RunEnded instead of polling.
class TEventRecorder : public IRunEventSink {
public:
    explicit TEventRecorder(const TRunState& run) : run_(run) {}
    void Tell(const TRunEvent& e) override {
        const std::string code = std::to_string(e.Code);
        switch (e.Kind) {
        case TRunEvent::RunStarted:
            return Add("run started");
        case TRunEvent::FileStarted:
            return Add("started " + e.Path);
        case TRunEvent::FileContinued:
            return Add("continued " + e.Path + " at " + std::to_string(e.Bytes));
        case TRunEvent::FileSkipped:
            return Add("skipped " + e.Target);
        case TRunEvent::CopiedBeside:
            return Add("copied as " + e.Target);
        case TRunEvent::AttributesIncomplete:
            return Add("attributes " + e.Path + " to " + e.Target + " " + code);
        case TRunEvent::SourceNotRemoved:
            return Add("not removed " + e.Path + " " + code);
        case TRunEvent::CopyFailed:
            return Add("copy failed " + e.Path + " " + code);
        case TRunEvent::FileFinished:
            return Add("finished " + e.Path + " " + code);
        case TRunEvent::LineFailed:
            return Add("failed " + e.Path + " " + code +
                       (e.Where == e.Path ? "" : " at " + e.Where) +
                       (e.Stage == TRunEvent::AtMakingFolder ? " making" : ""));
        case TRunEvent::LineInterrupted:
            return Add("interrupted " + e.Path + " " + std::to_string(e.Bytes) + " of " +
                       std::to_string(e.Size));
        case TRunEvent::WritingToDisk:
            return Add("writing to disk");
        case TRunEvent::RunEnded: {
            std::string counts;
            for (auto [n, what] : {std::pair{e.Failed, " failed"},
                                   {e.Interrupted, " interrupted"},
                                   {e.NotReached, " not reached"}})
                if (n > 0)
                    counts += ", " + std::to_string(n) + what;
            return RunEnded(e.Aborted, counts);
        }
        case TRunEvent::PhaseChanged:
            return PhaseChanged(e.Phase);
        case TRunEvent::Exception:
            return Add("exception " + e.Text);
        case TRunEvent::MonitorStarted:
        case TRunEvent::MonitorStopped:
            return;
        }
    }
    // The copies and lines told as failed.
    size_t Failures() const {
        std::lock_guard lock(mutex_);
        return size_t(std::count_if(events_.begin(), events_.end(), [](const std::string& e) {
            return e.starts_with("failed ") || e.starts_with("copy failed ");
        }));
    }
    size_t Count(const std::string& event) const {
        std::lock_guard lock(mutex_);
        return size_t(std::count(events_.begin(), events_.end(), event));
    }
    // Waits (up to 30 s) until the event has been told.
    bool WaitFor(const std::string& event) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(30),
                            [&] { return std::count(events_.begin(), events_.end(), event) > 0; });
    }
    // "ended", "ended aborted", with ", 2 failed, 1 not reached" and what else is told.
    void RunEnded(bool aborted, const std::string& counts = {}) {
        // Read here, on the worker's thread: the state a face finds when it hears it.
        const bool idle = !run_.CopyRunning && run_.Phase.Phase() == TRunPhase::Idle;
        std::function<void()> then;
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::string(aborted ? "ended aborted" : "ended") + counts +
                              (idle ? "" : " while busy"));
            then = OnRunEnded;
        }
        cv_.notify_all();
        if (then)
            then();
    }
    void PhaseChanged(const TRunPhaseView& view) {
        std::string name = PhaseName(view.Phase);
        if (view.Held && view.Phase != TRunPhase::Pausing && view.Phase != TRunPhase::Paused)
            name += " (held)";
        {
            std::lock_guard lock(mutex_);
            phases_.push_back(name);
            if (view.Phase == TRunPhase::Paused)
                events_.push_back("paused");
        }
        cv_.notify_all();
    }
    static std::string PhaseName(TRunPhase phase) {
        switch (phase) {
        case TRunPhase::Idle:
            return "Idle";
        case TRunPhase::Running:
            return "Running";
        case TRunPhase::Pausing:
            return "Pausing";
        case TRunPhase::Paused:
            return "Paused";
        case TRunPhase::Aborting:
            return "Aborting";
        case TRunPhase::Ending:
            return "Ending";
        }
        return "?";
    }

    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> Phases() const {
        std::lock_guard lock(mutex_);
        return phases_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
        phases_.clear();
    }
    // Waits (up to 60 s) until done() holds; re-checked whenever a run ends.
    bool WaitUntil(const std::function<bool()>& done) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), done);
    }
    // Runs on the worker's thread after RunEnded was recorded.
    void SetOnRunEnded(std::function<void()> then) {
        std::lock_guard lock(mutex_);
        OnRunEnded = std::move(then);
    }

private:
    void Add(std::string event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        cv_.notify_all();
    }
    const TRunState& run_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
    std::vector<std::string> phases_;
    std::function<void()> OnRunEnded;
};

// A fresh temp dir as working directory (error logs land there), a private trash, a
// queue with its run state and run control, and a recorder of the status line.
struct TEngineTest : ::testing::Test {
    TTempDir dir;
    TWorkingDirectory cwd{dir.Path()}; // error logs land here
    TCopyQueue q;
    TRunState run;
    TEventRecorder events{run};
    TRunControl control{q, run};

    void SetUp() override {
        run.SetEvents(&events);
        // One file at a time, as these tests play the run through step by step; the
        // run with files side by side has tests of its own.
        run.Settings.Workers = 1;
        ::setenv("XDG_DATA_HOME", (dir / "xdg").c_str(), 1);
        TraceRelease();
        TraceCreate();
    }
    void TearDown() override {
        control.ReleaseWorker();
        TraceRelease();
    }

    std::string P(const std::string& name) const { return dir / name; }

    // One file copy as the run makes it, its progress reported to the run's channel.
    TLineCopyResult Copy(const std::string& source, const std::string& target, bool move,
                         TLineCopyOptions options = {}) {
        options.Progress = &run.Progress;
        options.Events = &events;
        return DoFileCopy(source, target, move, run.AbortAsked, options);
    }

    void AddPair(const std::string& source, const std::string& dest, bool isDir = false,
                 bool move = false) {
        q.AddItem(q.lstCopyFrom, source, move, isDir ? lsDirWaiting : lsFileWaiting);
        q.AddItem(q.lstCopyTo, dest, false, lsDirWaiting);
    }

    // Starts a run (or a selected-lines run) and waits until it has ended.
    void RunToEnd(bool selectedOnly = false) {
        if (selectedOnly)
            control.CopySelectedLinesNow();
        else
            control.StartPauseResume();
        WaitForRunEnd();
    }
    void WaitForRunEnd() {
        ASSERT_TRUE(events.WaitUntil(
            [&] { return control.CopyWorker() && control.CopyWorker()->Finished(); }));
        control.CopyWorker()->WaitFor();
    }
};

// Busy-waits (in a thread) for the first progress report, then runs the action: lets a
// test act while a large file is being copied.
inline std::thread WhenCopyStarts(TProgressChannel& progress, std::function<void()> action,
                                  size_t reports = 2) {
    return std::thread([&progress, action = std::move(action), reports] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (progress.ProgressList.Count() < reports &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        action();
    });
}

// A file of `mib` MiB of non-repeating bytes.
void WriteBigFile(const std::string& path, int mib);

} // namespace ferrox::test
