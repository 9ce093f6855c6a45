#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/Event.h"

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

// The state a copy run shares with the window: flags, the pause gate and the texts of the
// two run buttons. The window shows the texts; handlers and the run decide by them.
class TRunState {
public:
    std::atomic<bool> CopyRunning{false};
    std::atomic<bool> CopyThisLineOnly{false};
    std::atomic<int32_t> AbortFlag{0}; // -1: abort requested
    TEvent PauseEvent{true};           // set: the run may go on
    // The worker has been asked to end (shutdown): it stops at its next check, without
    // breaking off the file in progress as an abort does.
    std::atomic<bool> Terminated{false};

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
        Changed();
    }
    void SetClose(const TButtonText& text) {
        {
            std::lock_guard lock(mutex_);
            close_ = text;
        }
        Changed();
    }

    // Told (from any thread) that a caption changed; the window then reads them again.
    // Set before the first run starts.
    std::function<void()> OnButtonsChanged;

private:
    void Changed() {
        if (OnButtonsChanged)
            OnButtonsChanged();
    }
    mutable std::mutex mutex_;
    TButtonText copyNow_ = RunTexts::CopyNowIdle;
    TButtonText close_ = RunTexts::CloseIdle;
};

} // namespace ferrox
