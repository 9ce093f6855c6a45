#pragma once
#include <chrono>
#include <functional>
#include <optional>

#include "engine/RunFigures.h"
#include "engine/progress/ProgressChannel.h"
#include "engine/progress/TimeLeft.h"
#include "platform/FileSystem.h"

namespace ferrox {

// Turns a run's counters into the figures a face shows, on the monitor's thread: it keeps
// the active time (pauses left out), cuts it into windows for the pace, and says when the
// figures are due to be shown again.
//
// A run that ends with a flush is paced by what reaches the devices, not by what reaches
// the page cache: a window's bytes are those the run moved less what the cache gained
// meanwhile, and what the cache still holds of the run's is left to do. Small files then
// cost their per-file time while they are copied and their bytes when the disk writes
// them; large ones (written behind) at the disk's pace.
class TRunFiguresMeter {
public:
    using TTime = std::chrono::system_clock::time_point;
    // What the page cache holds that is not on the devices yet (the system's figure).
    using TUnwritten = std::function<std::optional<int64_t>()>;

    explicit TRunFiguresMeter(TProgressChannel& channel, TUnwritten unwritten = UnwrittenCacheBytes)
        : channel_(channel), unwritten_(std::move(unwritten)) {}

    // The figures to show now, at most every ShowEvery while a run is counting; none
    // between, and none when no run is.
    std::optional<TRunFigures> Update(TTime now);

    static constexpr std::chrono::milliseconds ShowEvery{250};
    static constexpr std::chrono::milliseconds Window{1000};
    // The time left is shown only once the run has been copying this long.
    static constexpr std::chrono::seconds ShowTimeLeftAfter{3};
    // How far a new estimate moves the one shown (the rest is the old one counted down).
    // Replayed over recorded runs, 0.3 kept the first estimates' error (when the files seen
    // so far were not yet like the rest) for most of a short run; 0.5 halved that, and
    // still moves the figure shown by less than a second in most seconds.
    static constexpr double Follow = 0.5;

private:
    TRunFigures Figures(double bytesLeft, double filesLeft);
    // Of the bytes the run moved, those the page cache still holds: none when the run
    // does not flush (it does not wait for them) or the figure cannot be read.
    int64_t Unwritten(int64_t moved);

    TProgressChannel& channel_;
    TUnwritten unwritten_;
    bool counting_ = false;
    TTime last_{};
    TTime lastShown_{};
    std::chrono::nanoseconds active_{0};
    std::chrono::nanoseconds window_{0};
    long windowFiles_ = 0;
    int64_t windowBytes_ = 0;
    int64_t windowUnwritten_ = 0;
    int64_t unwrittenNow_ = 0; // at the last window's end
    TTimeLeft pace_;
    std::optional<double> shownLeft_;
    bool windowClosed_ = false;
};

} // namespace ferrox
