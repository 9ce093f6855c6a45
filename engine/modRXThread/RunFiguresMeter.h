#pragma once
#include <chrono>
#include <optional>

#include "engine/RunFigures.h"
#include "engine/modRXThread/ProgressChannel.h"
#include "engine/modRXThread/TimeLeft.h"

namespace ferrox {

// Turns a run's counters into the figures a face shows, on the monitor's thread: it keeps
// the active time (pauses left out), cuts it into windows for the pace, and says when the
// figures are due to be shown again.
class TRunFiguresMeter {
public:
    using TTime = std::chrono::system_clock::time_point;

    explicit TRunFiguresMeter(TProgressChannel& channel) : channel_(channel) {}

    // The figures to show now, at most every ShowEvery while a run is counting; none
    // between, and none when no run is.
    std::optional<TRunFigures> Update(TTime now);

    static constexpr std::chrono::milliseconds ShowEvery{250};
    static constexpr std::chrono::milliseconds Window{1000};
    // The time left is shown only once the run has been copying this long.
    static constexpr std::chrono::seconds ShowTimeLeftAfter{3};
    // How far a new estimate moves the one shown (the rest is the old one counted down).
    static constexpr double Follow = 0.3;

private:
    TRunFigures Figures(double bytesLeft, double filesLeft);

    TProgressChannel& channel_;
    bool counting_ = false;
    TTime last_{};
    TTime lastShown_{};
    std::chrono::nanoseconds active_{0};
    std::chrono::nanoseconds window_{0};
    long windowFiles_ = 0;
    int64_t windowBytes_ = 0;
    TTimeLeft pace_;
    std::optional<double> shownLeft_;
    bool windowClosed_ = false;
};

} // namespace ferrox
