#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "engine/MadeDirectories.h"
#include "engine/RunEvents.h"
#include "engine/WrittenFileSystems.h"
#include "engine/modRXThread/ProgressChannel.h"
#include "platform/CopyPolicy.h"
#include "platform/DeviceKind.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"

namespace ferrox {

struct TButtonText {
    std::string Caption;
    std::string Hint;
    bool operator==(const TButtonText&) const = default;
};

// Captions and hints of the two run buttons in each state of a run.
namespace RunTexts {
inline const TButtonText CopyNowIdle{"Copy NOW", "Start the Copy Process"};
inline const TButtonText CopyNowRunning{"Pause", "Pause the Copy at the Next File"};
inline const TButtonText CopyNowPaused{"Resume", "Resume the Copy"};
inline const TButtonText CloseIdle{"&Close", ""};
inline const TButtonText CloseRunning{"&Abort", "Abort the current Copy"};
} // namespace RunTexts

// Moments of a run where a test can hold the worker while it changes the lists or the
// run state, so that a race is played out in one chosen order instead of by chance.
enum class TRunPoint {
    LineReached,  // the run has its next source line and has read nothing of it yet
    LineTaken,    // the pair is in progress; the copy or the expansion comes next
    EntryReached, // the expansion is about to wait for the pause gate before an entry
    Flushing      // the lines are done; what was written goes to the devices next
};

// The state a copy run shares with its faces: flags, the pause gate, the texts of the
// two run buttons, the options the run needs, and where its events go. The faces show the
// texts; handlers and the run decide by them.
class TRunState {
public:
    std::atomic<bool> CopyRunning{false};
    std::atomic<bool> CopyThisLineOnly{false};
    std::atomic<int32_t> AbortFlag{0}; // -1: abort requested
    TEvent PauseEvent{true};           // set: the run may go on
    // The worker has been asked to end (shutdown): it stops at its next check, without
    // breaking off the file in progress as an abort does.
    std::atomic<bool> Terminated{false};
    // Moved sources go to the trash (true) or are deleted for good. Set by the face from
    // its options before a run.
    std::atomic<bool> DeleteToRecycle{true};
    // The file copies' progress reports, on their way to the progress monitor, and the
    // run's figures.
    TProgressChannel Progress;
    // What a run wrote is put on the devices before it ends (ferrox-run --no-flush: not).
    std::atomic<bool> FlushAtEnd{true};
    // What a copy does with a target that exists; whether it is read back and compared
    // before it takes its name; how many files are copied side by side (0: as each
    // target's device suits). From the options, for the next run.
    std::atomic<TExistingTargets> ExistingTargets{TExistingTargets::Overwrite};
    std::atomic<bool> VerifyCopies{false};
    std::atomic<int> Workers{0};
    TWrittenFileSystems Written;
    TMadeDirectories MadeDirectories;
    // What lies under a target directory (a test seam: a rotating disk cannot be had here).
    std::function<TDeviceKind(const std::string& dir, dev_t& device)> DeviceKindOf =
        ferrox::DeviceKindOf;
    // How a file system is flushed, on a thread of the run's (a test seam); none: the
    // run's file systems are flushed in a process of their own (SyncFileSystemsApart).
    std::function<int(int fd)> FlushFileSystem = nullptr;
    // Marks the lines a run has counted, so one added by the user during it is counted
    // when the run takes it; one number per run.
    std::atomic<uint32_t> RunNumber{0};

    TButtonText btnCopyNow() const {
        std::lock_guard lock(mutex_);
        return copyNow_;
    }
    TButtonText btnClose() const {
        std::lock_guard lock(mutex_);
        return close_;
    }
    bool CopyNowCaptionIs(const std::string& caption) const {
        std::lock_guard lock(mutex_);
        return copyNow_.Caption == caption;
    }
    void SetCopyNow(const TButtonText& text) {
        {
            std::lock_guard lock(mutex_);
            copyNow_ = text;
        }
        Tell({TRunEvent::ButtonsChanged});
    }
    // Both buttons in one step, told once: nobody sees one button of the old state
    // beside one of the new.
    void SetButtons(const TButtonText& copyNow, const TButtonText& close) {
        {
            std::lock_guard lock(mutex_);
            copyNow_ = copyNow;
            close_ = close;
        }
        Tell({TRunEvent::ButtonsChanged});
    }

    // Where the run's events go (none: nowhere). Set before a run starts; the sink must
    // outlive every run that may tell it something.
    void SetEvents(IRunEventSink* events) { events_.store(events, std::memory_order_release); }
    void Tell(const TRunEvent& event) const {
        if (IRunEventSink* events = events_.load(std::memory_order_acquire))
            events->Tell(event);
    }

    // Test seam: called on the worker's thread at each point; none in the program.
    std::function<void(TRunPoint, const std::string& path)> OnRunPoint;
    void Reached(TRunPoint point, const std::string& path) const {
        if (OnRunPoint)
            OnRunPoint(point, path);
    }

private:
    mutable std::mutex mutex_;
    TButtonText copyNow_ = RunTexts::CopyNowIdle;
    TButtonText close_ = RunTexts::CloseIdle;
    std::atomic<IRunEventSink*> events_{nullptr};
};

} // namespace ferrox
