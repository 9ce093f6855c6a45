#pragma once
#include <string>

#include "engine/RunPhase.h"

namespace ferrox {

struct TButtonText {
    std::string Caption;
    std::string Hint;
    bool operator==(const TButtonText&) const = default;
};

// Captions and hints of the two run buttons.
namespace RunTexts {
inline const TButtonText CopyNowIdle{"Copy NOW", "Start the Copy Process"};
inline const TButtonText CopyNowRunning{"Pause", "Pause the Copy at the Next File"};
inline const TButtonText CopyNowPaused{"Resume", "Resume the Copy"};
inline const TButtonText CloseIdle{"&Close", ""};
inline const TButtonText CloseRunning{"&Abort", "Abort the current Copy"};
} // namespace RunTexts

// What the buttons say in a phase: Copy NOW and Close when idle; Pause (or Resume while
// the user's Pause stands) and Abort while a run goes on, until it is idle again.
inline TButtonText CopyNowButtonFor(const TRunPhaseView& view) {
    if (view.Phase == TRunPhase::Idle)
        return RunTexts::CopyNowIdle;
    return view.Held ? RunTexts::CopyNowPaused : RunTexts::CopyNowRunning;
}
inline TButtonText CloseButtonFor(const TRunPhaseView& view) {
    return view.Phase == TRunPhase::Idle ? RunTexts::CloseIdle : RunTexts::CloseRunning;
}

} // namespace ferrox
